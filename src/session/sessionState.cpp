#include "sessionState.h"

SessionState &session()
{
    static SessionState s;
    return s;
}
