#include "fakeplatform.h"

#include <QWidget>

FakePlatform::FakePlatform()
    : m_prevBoxes(platform::setMessageBoxes(this)),
      m_prevRunner(platform::setModalRunner(this)),
      m_prevBrowser(platform::setBrowser(this)),
      m_prevInfo(platform::setSystemInfo(this)),
      m_prevOrder(platform::setWindowOrder(this))
{
}

FakePlatform::~FakePlatform()
{
    platform::setMessageBoxes(m_prevBoxes);
    platform::setModalRunner(m_prevRunner);
    platform::setBrowser(m_prevBrowser);
    platform::setSystemInfo(m_prevInfo);
    platform::setWindowOrder(m_prevOrder);
}

int FakePlatform::show(const QString &text, int style)
{
    messages.append({text, style});
    if (onMessage)
        onMessage(text);
    if (!answers.empty()) {
        const int a = answers.front();
        answers.pop_front();
        return a;
    }
    switch (style & 0x7) {
    case platform::mb::YesNo:
    case platform::mb::YesNoCancel: return platform::mb::Yes;
    case platform::mb::RetryCancel: return platform::mb::Retry;
    case platform::mb::AbortRetryIgnore: return platform::mb::Abort;
    default: return platform::mb::OK;
    }
}

QStringList FakePlatform::messageTexts() const
{
    QStringList out;
    for (const auto &m : messages)
        out << m.text;
    return out;
}

void FakePlatform::run(QDialog *dialog)
{
    if (!dialog)
        return;
    modalShown << dialog->objectName();
    const auto it = handlers.constFind(dialog->objectName());
    if (it != handlers.constEnd()) {
        dialog->show();
        it.value()(dialog);
        if (dialog->isVisible())
            dialog->hide();
        return;
    }
    dialog->exec();
}

bool FakePlatform::open(const QUrl &url)
{
    opened << url;
    return browserWorks;
}

bool FakePlatform::start(const QString &path)
{
    started << path;
    return !path.isEmpty();
}

void FakePlatform::setTopmost(QWidget *window, bool topmost)
{
    orderCalls << QStringLiteral("topmost:%1:%2").arg(window->objectName()).arg(topmost ? 1 : 0);
}

void FakePlatform::placeTop(QWidget *window) { orderCalls << QStringLiteral("top:%1").arg(window->objectName()); }
void FakePlatform::placeBottom(QWidget *window) { orderCalls << QStringLiteral("bottom:%1").arg(window->objectName()); }
