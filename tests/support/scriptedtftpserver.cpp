#include "scriptedtftpserver.h"
