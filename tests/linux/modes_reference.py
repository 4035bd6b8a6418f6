#!/usr/bin/env python3
"""A reference decoder of a Beast capture's ADS-B content, written for the tests
from the published Mode S and CPR rules: per aircraft (DF17 with good parity) its
callsign, barometric altitude (25 ft steps, from DF17 and from the DF0/4/16/20
frames whose parity names an aircraft already heard) and last airborne position (global
decoding from an even/odd pair less than 10 s of receiver time apart, then local
decoding against its own last position). The last altitude from DF17 alone
is given too. Prints one JSON object, keyed by the
6-hex-digit address.

usage: modes_reference.py CAPTURE.bin
"""
import json
import math
import sys

GENERATOR = 0x1FFF409  # x^24 + the Mode S generator's 24 bits
CHARS = "#ABCDEFGHIJKLMNOPQRSTUVWXYZ##### ###############0123456789######"


def remainder(msg):
    """The whole frame (data and parity) divided by the generator: 0 when good."""
    bits = int.from_bytes(msg, "big")
    for i in range(len(msg) * 8 - 1, 23, -1):
        if bits >> i & 1:
            bits ^= GENERATOR << (i - 24)
    return bits


def frames(data):
    """(receiver ticks, payload bytes) of each Mode S long frame."""
    i, n = 0, len(data)
    out = []
    while i < n:
        if data[i] != 0x1A or i + 1 >= n:
            i += 1
            continue
        kind = data[i + 1]
        size = {0x31: 2, 0x32: 7, 0x33: 14}.get(kind)
        if size is None:
            i += 1
            continue
        body = bytearray()
        j = i + 2
        while len(body) < 7 + size and j < n:
            b = data[j]
            if b == 0x1A:
                if j + 1 < n and data[j + 1] == 0x1A:
                    j += 1
                else:
                    break  # a frame cut short: the next one starts here
            body.append(b)
            j += 1
        if len(body) == 7 + size and kind == 0x33:
            out.append((int.from_bytes(body[:6], "big"), bytes(body[7:])))
        i = j
    return out


def nl(lat):
    if abs(lat) >= 87.0:
        return 1
    a = 1 - math.cos(math.pi / (2 * 15))
    return int(math.floor(2 * math.pi / math.acos(1 - a / math.cos(math.pi / 180 * abs(lat)) ** 2)))


def global_fix(even, odd, newest_odd):
    """even, odd: (lat17, lon17). The position of the newest, or None."""
    dlat0, dlat1 = 360 / 60, 360 / 59
    j = math.floor((59 * even[0] - 60 * odd[0]) / 131072 + 0.5)
    lat0 = dlat0 * (j % 60 + even[0] / 131072)
    lat1 = dlat1 * (j % 59 + odd[0] / 131072)
    lat0 -= 360 if lat0 >= 270 else 0
    lat1 -= 360 if lat1 >= 270 else 0
    if nl(lat0) != nl(lat1):
        return None
    lat = lat1 if newest_odd else lat0
    zones = nl(lat)
    ni = max(zones - (1 if newest_odd else 0), 1)
    m = math.floor((even[1] * (zones - 1) - odd[1] * zones) / 131072 + 0.5)
    own = odd[1] if newest_odd else even[1]
    lon = 360 / ni * (m % ni + own / 131072)
    lon -= 360 if lon >= 180 else 0
    return lat, lon


def local_fix(cpr, odd, ref):
    dlat = 360 / (59 if odd else 60)
    j = math.floor(ref[0] / dlat) + math.floor((ref[0] % dlat) / dlat - cpr[0] / 131072 + 0.5)
    lat = dlat * (j + cpr[0] / 131072)
    ni = max(nl(lat) - (1 if odd else 0), 1)
    dlon = 360 / ni
    m = math.floor(ref[1] / dlon) + math.floor((ref[1] % dlon) / dlon - cpr[1] / 131072 + 0.5)
    return lat, dlon * (m + cpr[1] / 131072)


def main():
    data = open(sys.argv[1], "rb").read()
    planes = {}
    for ticks, msg in frames(data):
        df = msg[0] >> 3
        if df in (0, 4, 16, 20):
            # Address parity: the remainder is the address, counted only for an
            # aircraft already heard in a good DF17.
            p = planes.get("%06X" % remainder(msg))
            ac13 = (msg[2] & 0x1F) << 8 | msg[3]
            if p is not None and not ac13 & 0x40 and ac13 & 0x10:  # metric bit clear, Q bit set
                n = (ac13 >> 7) << 5 | (ac13 >> 5 & 1) << 4 | (ac13 & 0xF)
                p["altitude_ft"] = n * 25 - 1000
            continue
        if df != 17 or remainder(msg) != 0:
            continue
        bits = int.from_bytes(msg, "big")
        icao = "%06X" % (bits >> 80 & 0xFFFFFF)
        p = planes.setdefault(icao, {"callsign": None, "altitude_ft": None, "adsb_altitude_ft": None,
                                     "latitude": None, "longitude": None, "cpr": {}})
        me = msg[4:11]
        tc = me[0] >> 3
        if 1 <= tc <= 4:
            chars = int.from_bytes(me[1:7], "big")
            p["callsign"] = "".join(CHARS[chars >> (42 - 6 * k) & 63] for k in range(8)).strip(" #") or None
        elif 9 <= tc <= 18:
            alt = (me[1] << 4) | (me[2] >> 4)
            if alt & 0x10:  # the Q bit: 25 ft steps
                p["altitude_ft"] = p["adsb_altitude_ft"] = ((alt >> 5) << 4 | (alt & 0xF)) * 25 - 1000
            odd = me[2] >> 2 & 1
            cpr = (((me[2] & 3) << 15) | (me[3] << 7) | (me[4] >> 1), ((me[4] & 1) << 16) | (me[5] << 8) | me[6])
            p["cpr"][odd] = (ticks, cpr)
            fix = None
            if p["latitude"] is not None:
                fix = local_fix(cpr, odd, (p["latitude"], p["longitude"]))
            elif 0 in p["cpr"] and 1 in p["cpr"] and abs(p["cpr"][0][0] - p["cpr"][1][0]) < 10 * 12_000_000:
                fix = global_fix(p["cpr"][0][1], p["cpr"][1][1], odd == 1)
            if fix:
                p["latitude"], p["longitude"] = fix
    for p in planes.values():
        del p["cpr"]
    json.dump(planes, sys.stdout, indent=1, sort_keys=True)


main()
