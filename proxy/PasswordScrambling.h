// The scrambling lives in updclient/, shared by program and library; this
// name stays until the last include of it has moved there.
#pragma once

#include "updclient/PasswordScrambling.h"
