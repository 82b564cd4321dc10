#include "chatPhrases.h"

ChatPhrases &ChatPhrases::instance()
{
    static ChatPhrases notifier;
    return notifier;
}
