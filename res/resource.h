// Resource identifiers, shared by the program and its resource script.
#pragma once

#define IDI_APP 101      // icon group: 32x32 and 16x16, 16 colours each
#define IDR_TRAYMENU 102 // menu: one pop-up holding "Exit"
#define IDM_EXIT 40001   // the "Exit" command
