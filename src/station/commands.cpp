// Menu and key commands of the main window.
#include "station/commands.h"

#include "core/app_state.h"
#include "core/frontend.h"
#include "config/settings.h"
#include "display/clock_annotation.h"
#include "input/source.h"
#include "net/feed_link.h"
#include "record/exchange.h"

const char kHelpCaption[] = "Меню";
const char kHelpText[] =
    "\"НАСТРОЙКИ СОМ ИСТОЧНИКА\"\nВыставляются настройки COM порта, а именно его наименование и его скорость."
    "\n\n"
    "\"НАСТРОЙКИ ТСР ИСТОЧНИКА\"\nВыставляется IP адрес и значение порта, откуда будет сниматься информация по ТСР соединению."
    "\n\n"
    "\"БИНАРНЫЙ РЕЖИМ ИСТОЧНИКА\"\nЕсли источник выдает информацию, с СОМ порта или ТСР соединения, в бинарном виде, то необходимо установить эту опцию.\nИначе не будет приема. И наоборот, если источник выдает не бинарном виде, то при установленной этой опции приема не будет."
    "\n\n"
    "\"НАСТРОЙКИ СЕРВЕРА\"\nВыставляется значения порта ТСР сервера, который предназначен для размножения информации от источника. \nИнформация в порт сервера выдается как есть, полученная с приемника, без преобразований. Возможны 100 подключений."
    "\n\n"
    "\"НАСТРОЙКИ ТСР ПОТРЕБИТЕЛЯ\"\nПорт и адрес моего(или другого) сервера, куда будет выдаваться информация вашего приемника."
    "\n\n"
    "\"НИЖНИЙ ПОРОГ УРОВНЯ ПРИЕМА\"\nРаботает только в том случае, если информация принимается в бинарном режиме. Допустимые значения от 0 до 255\nВ принимаемом пакете анализируется байт уровня сигнала, который выставляет приемник ADS-B(и другие приемники) при приеме пакета.\nЕсли пакет принят с уровнем ниже порогового, то такой пакет отбрасывается. Сделано для приемников, которые активно ведут\nприем на уровне шумов, в связи с чем возникает большой трафик с \"мусором\"."
    "\n\n"
    "\"ЧАСТОТА ТАЙМЕРА\"\nЧастота таймера вашего приемника. Это значение передается на мой сервер для использования в расчетах MLAT"
    "\n\n"
    "\"ПОКАЗЫВАТЬ ОТНОСИТЕЛЬНОЕ ВРЕМЯ\"\nПри включении этого режима, отображает прошедшее время в секундах, относительно времени включения этого режима.\nЗначение таймера периодически переполняются, в этом случае для сброса значений надо включить выключить\nрежим в меню, или двойным нажатием клавиши \"5\". Если частота таймера выставлена правильно, то значения \"прм\" и \"комп\" \nсовпадают. Через какое то значительно время показания могут различаться в связи не синхронностью работ\nтаймеров приемника и компьютера. Если несколько источников объедены и выдаются в одно ТСР соединение, то \nзначение прм будет прыгающим. Для выдачи информации на сервер MLAT объединение нескольких источников\nв одно ТСР соединение недопустимо."
    "\n\n"
    "\"КООРДИНАТЫ ПРИЕМНИКА\"\nТочные координаты вашего приемника в градусах. Например 40.123456 Если вы знаете свои координаты в формате 47 градусов\n23 минуты 55 секунд, то их преобразовать надо по формуле. (47 * 3600) + (23 * 60) + 55 =  170635 / 3600 = 47.398611"
    "\n\n"
    "\"ИМЯ ПРИЕМНИКА\"\nИмя вашего приемника и координаты передаются на сервер, для участия в расчетах MLAT.\nИмена различных источников подключенных к одному серверу не должны совпадать.\n";

const char kAuthorCaption[] = "Автор";
const char kAuthorText[] =
    "brevalink\n"
    "https://example.org/brevalink\n"
    "brevalink developers";

namespace {

int boxAndRefuse(const char* text) {
    uiMessageBox(1, text, "Внимание", kBoxOk);
    return 0;
}

// Flag first, then the mark from the new value, then the file.
int switchFlag(std::atomic<int>& flag, int commandId) {
    setModeFlag(commandId, flag.load() ? 0 : 1);
    return writeFlagsFile();
}

int recordingOpen() { return app.recordFile.load() != nullptr; }

}  // namespace

void setModeFlag(int commandId, int on) {
    std::atomic<int>& flag = commandId == kCmdBinaryMode ? app.binaryMode : app.compressFeed;
    flag.store(on);
    uiModeChanged(commandId, on);
    // The feed server learns the compression mode only from the introduction, so a
    // connected link is dropped and the reconnect thread introduces us again.
    if (commandId == kCmdCompressFeed && app.feed.state.load() == kLinkConnected) dropLink("compression switched");
}

int handleCommand(int id) {
    switch (id) {
    case kCmdExit:
        uiCloseMainWindow();
        return 1;
    case kCmdServerDialog:
    case kCmdComDialog:
    case kCmdTcpSourceDialog:
    case kCmdFeedLinkDialog:
    case kCmdPointDialog:
    case kCmdNameDialog:
    case kCmdIntervalDialog:
    case kCmdThresholdDialog:
    case kCmdFrequencyDialog:
    case kCmdPushDialog:
        uiOpenDialog(id);
        return 1;
    case kCmdBinaryMode:
        switchFlag(app.binaryMode, kCmdBinaryMode);
        return 1;
    case kCmdCompressFeed:
        // The link is dropped when the file could not be written too: the feed
        // takes its new form at once either way.
        switchFlag(app.compressFeed, kCmdCompressFeed);
        return 1;
    case kCmdRelativeTime:
        uiModeChanged(kCmdRelativeTime, onRelativeTimeCommand());
        return 1;
    case kCmdRecord:
        if (!recordingOpen() && app.playFile.load())
            return boxAndRefuse("Вначале необходимо прекратить чтение из файла");
        return commandRecord();
    case kCmdPlayback:
        if (!app.playFile.load() && recordingOpen())
            return boxAndRefuse("Вначале необходимо прекратить запись в файла");
        return commandPlayback();
    case kCmdHelp:
        uiMessageBox(0, kHelpText, kHelpCaption, kBoxOk);
        return 1;
    case kCmdAuthor:
        uiMessageBox(0, kAuthorText, kAuthorCaption, kBoxOk);
        return 1;
    default:
        return 0;
    }
}

void handleKey(int ch) {
    switch (ch) {
    case '0':
    case '1':
        sendReceiverMode(0x12);
        break;
    case '2':
        sendReceiverMode(0x13);
        break;
    case '3':
        sendReceiverMode(0x14);
        break;
    case '4':
        onShowLinesKey();
        break;
    case '5':
        // Deliberately leaves the mark of kCmdRelativeTime alone: the key is the quick way to
        // restart the relative clocks (press it twice).
        onRelativeTimeKey();
        break;
    default:
        break;
    }
}
