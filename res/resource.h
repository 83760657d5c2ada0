// Resource identifiers, shared by qel.rc and the code.
#pragma once

#define IDI_PLAYING 100
#define IDI_IDLE 101

#define IDD_SETTINGS 102
#define IDD_SELECT_TRACK 118

#define IDC_PORT 1001
#define IDC_PORT_LABEL 1055
#define IDC_HOST 1056
#define IDC_TRACKS 1059
