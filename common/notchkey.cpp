#include "common/notchkey.h"

char g_text[1024];
