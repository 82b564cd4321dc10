#pragma once
// The user's canned chat phrases: fifteen numbered boxes over the settings section
// "chat". OK stores the filled boxes without gaps and makes them the drop-down lists
// of the lobby window's two chat inputs.
#include "platform/forms.h"

#include <array>

class QLabel;
class QLineEdit;
class QPushButton;

class frmEditChat : public Form {
    Q_OBJECT
public:
    static constexpr const char kName[] = "frmEditChat";
    struct State : FormStateBase {};

    static constexpr int kPhrases = 15;

    frmEditChat();
    void Form_Load() override;

    QLabel *lblComment = nullptr;
    // Control arrays: every element carries the array's name and its "index".
    std::array<QLabel *, kPhrases> lblChat{};
    std::array<QLineEdit *, kPhrases> txtChat{};
    QPushButton *cmdOK = nullptr;

protected:
    void showEvent(QShowEvent *event) override;

private:
    void cmdOK_Click();
};
