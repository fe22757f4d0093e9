// The notification area is declared with the rest in our <windows.h>.
#pragma once
#include <windows.h>
