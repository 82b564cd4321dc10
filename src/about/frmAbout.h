#pragma once
// The about box: the product's title and version, and a button that starts the
// desktop's system-information tool.
#include "platform/forms.h"

class QFrame;
class QLabel;
class QPushButton;

class frmAbout : public Form {
    Q_OBJECT
public:
    static constexpr const char kName[] = "frmAbout";
    struct State : FormStateBase {};

    static const QString kAppTitle;

    frmAbout();
    void Form_Load() override;

    // Starts the system-information tool, or tells the user there is none.
    static void StartSysInfo();

    QLabel *picIcon = nullptr;
    QLabel *lblTitle = nullptr;
    QLabel *lblVersion = nullptr;
    QLabel *lblDescription = nullptr;
    QFrame *separator = nullptr;
    QLabel *picLogo = nullptr;
    QPushButton *cmdSysInfo = nullptr;
    QPushButton *cmdOK = nullptr;

protected:
    void showEvent(QShowEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    void cmdOK_Click();
};
