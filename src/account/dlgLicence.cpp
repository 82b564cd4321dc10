#include "dlgLicence.h"

#include "platform/dialogParts.h"
#include "session/desktop.h"

#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

// The resource lives in a static library; nothing would pull it in otherwise.
static void initLicenceResource()
{
    Q_INIT_RESOURCE(licence);
}

QString dlgLicence::licenceText()
{
    initLicenceResource();
    QFile f(QStringLiteral(":/licence/licence.txt"));
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(f.readAll());
}

dlgLicence::dlgLicence()
{
    setWindowTitle(QStringLiteral("使用許諾契約"));
    dialog::setDialogFrame(this);

    Label1 = new QLabel(QStringLiteral("下記の製品使用許諾を注意深くお読みになり、すべてに同意できる場合は「同意する」をクリックしてください。"
                                       "「同意しない」ボタンをクリックするとロビークライアントを終了します。"),
                        this);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setWordWrap(true);

    Frame1 = new QFrame(this);
    Frame1->setObjectName(QStringLiteral("Frame1"));
    Frame1->setFrameShape(QFrame::Box);
    Frame1->setFrameShadow(QFrame::Sunken);

    txtLicence = new QPlainTextEdit(Frame1);
    txtLicence->setObjectName(QStringLiteral("txtLicence"));
    txtLicence->setReadOnly(true);
    // Read-only, but it takes the focus so the keys scroll it.
    txtLicence->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    txtLicence->setFocusPolicy(Qt::StrongFocus);
    txtLicence->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    txtLicence->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    txtLicence->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    auto *frameLayout = new QVBoxLayout(Frame1);
    frameLayout->setContentsMargins(dialog::twips(90), dialog::twips(90), dialog::twips(90), dialog::twips(90));
    frameLayout->addWidget(txtLicence);

    OKButton = new QPushButton(QStringLiteral("同意する"), this);
    OKButton->setObjectName(QStringLiteral("OKButton"));
    OKButton->setAutoDefault(false);
    CancelButton = new QPushButton(QStringLiteral("同意しない"), this);
    CancelButton->setObjectName(QStringLiteral("CancelButton"));
    CancelButton->setAutoDefault(false);
    connect(OKButton, &QPushButton::clicked, this, &dlgLicence::OKButton_Click);
    connect(CancelButton, &QPushButton::clicked, this, &dlgLicence::CancelButton_Click);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(OKButton);
    buttons->addWidget(CancelButton);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(Label1);
    layout->addWidget(Frame1, 1);
    layout->addLayout(buttons);
    setFixedSize(dialog::twips(7200), dialog::twips(6000));
    const QMargins margins = layout->contentsMargins();
    dialog::fitLabel(Label1, Label1->text(), dialog::twips(7200) - margins.left() - margins.right());

    setTabOrder(txtLicence, OKButton);
    setTabOrder(OKButton, CancelButton);
    txtLicence->setFocus();
}

void dlgLicence::Form_Load()
{
    // A dialog that is never answered counts as declined.
    m().blnAgree = false;
    lobbyModule::setTopmost(this);
    txtLicence->setPlainText(licenceText());
}

void dlgLicence::showEvent(QShowEvent *event)
{
    dialog::centreOnOwner(this);
    Form::showEvent(event);
}

void dlgLicence::OKButton_Click()
{
    m().blnAgree = true;
    Forms::unload<dlgLicence>();
}

void dlgLicence::CancelButton_Click()
{
    m().blnAgree = false;
    Forms::unload<dlgLicence>();
}
