#include "seams.h"

#include <QtGlobal>

namespace platform {
namespace {
MessageBoxes *g_messageBoxes = nullptr;
ModalRunner *g_modalRunner = nullptr;
Browser *g_browser = nullptr;
SystemInfo *g_systemInfo = nullptr;
WindowOrder *g_windowOrder = nullptr;

template <typename T>
T &need(T *p, const char *what)
{
    if (!p)
        qFatal("platform seam %s used before it was installed", what);
    return *p;
}

template <typename T>
T *swap(T *&slot, T *p)
{
    T *old = slot;
    slot = p;
    return old;
}
} // namespace

MessageBoxes &messageBoxes() { return need(g_messageBoxes, "MessageBoxes"); }
ModalRunner &modalRunner() { return need(g_modalRunner, "ModalRunner"); }
Browser &browser() { return need(g_browser, "Browser"); }
SystemInfo &systemInfo() { return need(g_systemInfo, "SystemInfo"); }
WindowOrder &windowOrder() { return need(g_windowOrder, "WindowOrder"); }

MessageBoxes *setMessageBoxes(MessageBoxes *p) { return swap(g_messageBoxes, p); }
ModalRunner *setModalRunner(ModalRunner *p) { return swap(g_modalRunner, p); }
Browser *setBrowser(Browser *p) { return swap(g_browser, p); }
SystemInfo *setSystemInfo(SystemInfo *p) { return swap(g_systemInfo, p); }
WindowOrder *setWindowOrder(WindowOrder *p) { return swap(g_windowOrder, p); }

bool installed()
{
    return g_messageBoxes && g_modalRunner && g_browser && g_systemInfo && g_windowOrder;
}

} // namespace platform
