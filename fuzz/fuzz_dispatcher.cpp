// The client's dispatcher fed arbitrary server bytes, framed as frmCom frames them,
// with the lobby window loaded (offscreen). Message boxes answer at once.
#include "fuzzcheck.h"
#include "lobby/frmMain.h"
#include "net/dispatcher.h"
#include "net/frmCom.h"
#include "wire/lineframer.h"
#include "platform/forms.h"
#include "wire/codec.h"
#include "session/lobbyModule.h"
#include "session/seams.h"

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

namespace {

class QuietPlatform : public platform::MessageBoxes,
                      public platform::ModalRunner,
                      public platform::Browser,
                      public platform::SystemInfo,
                      public platform::WindowOrder {
public:
    int show(const QString &, int style) override
    {
        return (style & 0x7) == platform::mb::YesNo ? platform::mb::No : platform::mb::OK;
    }
    void beep() override {}
    void run(QDialog *dialog) override { dialog->hide(); }
    bool open(const QUrl &) override { return true; }
    QString locate() override { return QString(); }
    bool start(const QString &) override { return false; }
    void setTopmost(QWidget *, bool) override {}
    void placeTop(QWidget *) override {}
    void placeBottom(QWidget *) override {}
};

QApplication *g_app = nullptr;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QTemporaryDir *home = nullptr;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_LOGGING_RULES", "qt.qpa.*=false");
    g_app = new QApplication(*argc, *argv);
    // Settings writes end in fsync; in memory they cost the fuzzer less time.
    home = QFileInfo(QStringLiteral("/dev/shm")).isWritable()
        ? new QTemporaryDir(QStringLiteral("/dev/shm/qorchat-fuzz-XXXXXX"))
        : new QTemporaryDir;
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home->path()));
    static QuietPlatform quiet;
    platform::setMessageBoxes(&quiet);
    platform::setModalRunner(&quiet);
    platform::setBrowser(&quiet);
    platform::setSystemInfo(&quiet);
    platform::setWindowOrder(&quiet);
    session().gstrGameName = QStringLiteral("Fuzz");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte picks the player's side and the debug echo.
    session().gblnHost = (data[0] & 1) ? vbTrue : vbFalse;
    frmMain::m().blnDisplayDbgMessage = (data[0] & 2) != 0;
    frmCom *com = frmCom::get();
    com->beginPass();

    LineFramer framer(frmCom::kMaxLineBytes);
    QList<QByteArray> lines;
    framer.feed(QByteArrayView(reinterpret_cast<const char *>(data + 1), qsizetype(size - 1)), lines);
    for (const QByteArray &raw : lines)
        if (!dispatcher::dispatchLine(*com, cp932::decode(raw)))
            break;
    QCoreApplication::processEvents();
    Forms::collect();

    // What a hostile server cannot do: grow the window without end.
    frmMain *f = Forms::get<frmMain>();
    FUZZ_CHECK(f->rtfLobbyChat->blockCount() <= frmMain::kChatLines);
    FUZZ_CHECK(f->rtfRoomChat->blockCount() <= frmMain::kChatLines);
    FUZZ_CHECK(f->txtLobbyChat->count() <= dispatcher::kMaxGamePhrases + 15);
    FUZZ_CHECK(com->received().aintChart.size() <= dispatcher::kChartValues);
    FUZZ_CHECK(f->statusText().size() <= 2 * dispatcher::kDisplayChars + 16);
    return 0;
}
