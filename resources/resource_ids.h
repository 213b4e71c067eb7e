// Resource and control numbers shared by quelma.rc and the Windows program.
#pragma once

#define IDI_QUELMA 100
#define IDD_ABOUT 201
#define IDC_STATUSBAR 1034
#define IDM_EXIT 40002
#define IDM_HELP 40003
#define IDM_ABOUT 40007
#define IDM_SERVERS 40008
#define IDM_CLEAR_LOG 40009
#define IDM_SEND_RECEIVE 40011
#define IDM_COMMUNICATION 40012
#define IDM_SORTER 40013
#define IDM_SCHEDULER 40014
#define IDM_BREAK 40015
