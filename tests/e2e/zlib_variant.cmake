# Writes a .def for zlib1.dll that lists every export of the real DLL except one.
# A zlib1.dll that exports a single function crashes Wine before WinMain (its
# user32 imports zlib1 too), so a "zlib without compress" must be the full library
# minus that one name.
#   cmake -DOBJDUMP=... -DDLL=zlib1.dll -DOMIT=compress -DOUT=zlib1.def -P zlib_variant.cmake
# objdump's headings are translated: read them in the C locale.
execute_process(COMMAND ${CMAKE_COMMAND} -E env LC_ALL=C ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${DLL}")
endif()
string(FIND "${dump}" "[Ordinal/Name Pointer] Table" at)
if(at LESS 0)
  message(FATAL_ERROR "no export table in ${DLL}")
endif()
string(SUBSTRING "${dump}" ${at} -1 table)
# The table ends at the first empty line.
string(FIND "${table}" "\n\n" end)
if(end GREATER 0)
  string(SUBSTRING "${table}" 0 ${end} table)
endif()
string(REGEX MATCHALL "\\[ *[0-9]+\\] [A-Za-z_][A-Za-z0-9_]*" entries "${table}")
set(def "LIBRARY zlib1.dll\nEXPORTS\n")
set(found 0)
foreach(e ${entries})
  string(REGEX REPLACE "^\\[ *[0-9]+\\] " "" name "${e}")
  if(name STREQUAL OMIT)
    set(found 1)
  else()
    string(APPEND def "    ${name}\n")
  endif()
endforeach()
if(NOT found)
  message(FATAL_ERROR "${DLL} does not export ${OMIT}")
endif()
file(WRITE ${OUT} "${def}")
