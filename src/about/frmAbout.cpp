#include "frmAbout.h"

#include "session/desktop.h"
#include "session/seams.h"
#include "platform/dialogParts.h"

#include <QFont>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>

#ifndef QORCHAT_VERSION_MAJOR
#error "the build passes the version numbers"
#endif

using dialog::twips;

// The client library is static: the picture store is registered on demand.
static void initPictures()
{
    Q_INIT_RESOURCE(qorchat);
}

const QString frmAbout::kAppTitle = QStringLiteral("QorChat");

namespace {

QPixmap drawLogo(QSize size, const QString &title)
{
    QPixmap logo(size);
    QPainter p(&logo);
    QLinearGradient fill(0, 0, size.width(), 0);
    fill.setColorAt(0, QColor(0x1f, 0x3f, 0x8f));
    fill.setColorAt(1, QColor(0x6f, 0x9f, 0xdf));
    p.fillRect(logo.rect(), fill);
    QFont font = p.font();
    font.setBold(true);
    font.setItalic(true);
    font.setPixelSize(size.height() * 3 / 5);
    p.setFont(font);
    p.setPen(Qt::white);
    p.drawText(logo.rect().adjusted(8, 0, -8, 0), Qt::AlignVCenter | Qt::AlignLeft, title);
    return logo;
}

} // namespace

frmAbout::frmAbout()
{
    initPictures();
    dialog::setDialogFrame(this);
    setFixedSize(twips(5730), twips(2865));

    picIcon = new QLabel(this);
    picIcon->setObjectName(QStringLiteral("picIcon"));
    picIcon->setGeometry(twips(240), twips(360), twips(810), twips(780));
    picIcon->setAlignment(Qt::AlignCenter);
    picIcon->setPixmap(QPixmap(QStringLiteral(":/images/qorchat.png")));

    lblTitle = new QLabel(this);
    lblTitle->setObjectName(QStringLiteral("lblTitle"));
    lblTitle->setGeometry(twips(1440), twips(240), twips(3885), twips(480));
    QFont titleFont = lblTitle->font();
    titleFont.setPixelSize(twips(480) * 2 / 3);
    titleFont.setBold(true);
    lblTitle->setFont(titleFont);

    lblVersion = new QLabel(this);
    lblVersion->setObjectName(QStringLiteral("lblVersion"));
    lblVersion->setGeometry(twips(1440), twips(780), twips(3885), twips(225));

    lblDescription = new QLabel(QStringLiteral("ゲームの対戦相手を探して集まるロビーのクライアントです。"), this);
    lblDescription->setObjectName(QStringLiteral("lblDescription"));
    lblDescription->setGeometry(twips(1440), twips(1125), twips(3885), twips(450));
    lblDescription->setWordWrap(true);
    lblDescription->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    dialog::growToFit(lblDescription, lblDescription->text());

    separator = new QFrame(this);
    separator->setObjectName(QStringLiteral("separator"));
    separator->setFrameShape(QFrame::HLine);
    separator->setFrameShadow(QFrame::Sunken);
    separator->setGeometry(twips(120), twips(1800), width() - twips(120), 2);

    picLogo = new QLabel(this);
    picLogo->setObjectName(QStringLiteral("picLogo"));
    picLogo->setGeometry(twips(120), twips(1920), twips(3615), twips(780));
    picLogo->setPixmap(drawLogo(picLogo->size(), kAppTitle));

    cmdSysInfo = new QPushButton(QStringLiteral("ｼｽﾃﾑ情報(&S)..."), this);
    cmdSysInfo->setObjectName(QStringLiteral("cmdSysInfo"));
    cmdSysInfo->setGeometry(twips(4200), twips(1920), twips(1380), twips(345));
    connect(cmdSysInfo, &QPushButton::clicked, this, &frmAbout::StartSysInfo);

    cmdOK = new QPushButton(QStringLiteral("OK"), this);
    cmdOK->setObjectName(QStringLiteral("cmdOK"));
    cmdOK->setGeometry(twips(4200), twips(2400), twips(1380), twips(345));
    cmdOK->setDefault(true);
    connect(cmdOK, &QPushButton::clicked, this, &frmAbout::cmdOK_Click);

    setTabOrder(cmdOK, cmdSysInfo);
    cmdOK->setFocus();
}

void frmAbout::Form_Load()
{
    setWindowTitle(kAppTitle + QStringLiteral("のバージョン情報"));
    lblVersion->setText(QStringLiteral("ﾊﾞｰｼﾞｮﾝ %1.%2.%3")
                            .arg(QORCHAT_VERSION_MAJOR)
                            .arg(QORCHAT_VERSION_MINOR)
                            .arg(QORCHAT_VERSION_REVISION));
    lblTitle->setText(kAppTitle);
    lobbyModule::setTopmost(this);
}

void frmAbout::StartSysInfo()
{
    platform::SystemInfo &info = platform::systemInfo();
    const QString path = info.locate();
    if (path.isEmpty() || !info.start(path))
        platform::msgBox(QStringLiteral("現時点ではｼｽﾃﾑ情報を使用できません"), platform::mb::OKOnly);
}

void frmAbout::showEvent(QShowEvent *event)
{
    dialog::centreOnOwner(this);
    Form::showEvent(event);
}

void frmAbout::keyPressEvent(QKeyEvent *event)
{
    // OK is also the cancel button.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        cmdOK->click();
        return;
    }
    Form::keyPressEvent(event);
}

void frmAbout::cmdOK_Click()
{
    Forms::unload<frmAbout>();
}
