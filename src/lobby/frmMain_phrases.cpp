// The user's own canned phrases in the drop-down lists of the chat inputs.
#include "frmMain.h"

#include "phrases/frmEditChat.h"
#include "session/seams.h"

#include <QComboBox>

void frmMain::clearChatPhrases()
{
    for (QComboBox *input : {txtLobbyChat, txtRoomChat}) {
        const QString typed = input->currentText();
        input->clear();
        input->setEditText(typed);
    }
}

void frmMain::editChatPhrases()
{
    frmEditChat *editor = Forms::get<frmEditChat>();
    platform::modalRunner().run(editor);
    if (Forms::isCurrent(editor))
        Forms::unload<frmEditChat>();
}
