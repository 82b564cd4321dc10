#pragma once
// The window registry. Every window exists once per process, is created and loaded
// on first use and may be unloaded and loaded again. A window's member variables
// live in a State struct that outlives the widget; the widget starts from its
// design state at every load.
//
// Unloading happens inside waits (the line drops while a room command waits, START
// arrives while a dialog is open), so an unloaded widget is hidden and parked. It is
// destroyed once the handler that loaded it has returned to the event loop below it
// (every window but the two the component runs itself is shown from that handler,
// so none of its own handlers can still be running then); a window still loaded at
// that point, or loaded where no event loop runs, waits for collect(). Code that
// waits must ask the registry again afterwards instead of keeping a pointer to
// another window.
#include <QDialog>
#include <QList>
#include <QPointer>
#include <QString>

#include <map>
#include <memory>

// Base of every window of the component.
class Form : public QDialog {
    Q_OBJECT
public:
    explicit Form(QWidget *parent = nullptr);
    // Runs once right after the registry created the window.
    virtual void Form_Load() {}
    // The close box: by default it unloads the window. Return false to keep it.
    virtual bool Form_QueryUnload() { return true; }

protected:
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
};

struct FormStateBase {
    virtual ~FormStateBase() = default;
};

class Forms {
public:
    // The window, loaded (created and Form_Load run) when it is not.
    template <class W>
    static W *get()
    {
        if (QWidget *w = find(QString::fromLatin1(W::kName)))
            return static_cast<W *>(w);
        W *w = new W();
        adopt(QString::fromLatin1(W::kName), w);
        w->Form_Load();
        return w;
    }

    // The window when it is loaded, else nullptr (never loads it).
    template <class W>
    static W *ifLoaded()
    {
        return static_cast<W *>(find(QString::fromLatin1(W::kName)));
    }

    // The member variables of window W; they survive unloading.
    template <class W>
    static typename W::State &state()
    {
        auto &slot = states()[QString::fromLatin1(W::kName)];
        if (!slot)
            slot = std::make_unique<typename W::State>();
        return static_cast<typename W::State &>(*slot);
    }

    template <class W>
    static void unload() { unload(QString::fromLatin1(W::kName)); }

    static QWidget *find(const QString &name);
    static bool isLoaded(const QString &name) { return find(name) != nullptr; }
    // True while w is the loaded instance of its window (false once unloaded).
    static bool isCurrent(const QWidget *w);
    // Hide, end a modal display, park for collect(). A window never loaded is skipped.
    static void unload(const QString &name);
    // Every loaded window, newest first, and every open message box: the lobby
    // is over (the match started) and nothing of it may stay on the screen.
    static void unloadAll();
    // Loaded windows in the order they were loaded.
    static QList<QWidget *> loaded();
    // Destroys parked widgets. Only where no window code is on the stack.
    static void collect();
    // Tests: unload everything, destroy it and forget every state.
    static void resetAll();

private:
    friend class LoadWatch;
    static void adopt(const QString &name, QWidget *w);
    static void loadHandlerReturned(QWidget *w, int loadLevel);
    static std::map<QString, std::unique_ptr<FormStateBase>> &states();
};
