/* Resource and control ids, shared by the resource script and the code. */
#ifndef MORVANE_RESOURCE_IDS_H
#define MORVANE_RESOURCE_IDS_H

#define DIALOG_SERVER 101
#define DIALOG_CLIENT 102
#define ICON_CLIENT 103
#define ICON_SERVER 104

#define CONTROL_EXIT 1000
#define CONTROL_SERVER_NAME 1006
#define CONTROL_SERVER_ICON 1007
#define CONTROL_CLIENT_NAME 1008
#define CONTROL_CLIENT_ICON 1009
#define CONTROL_LINK 1010

#define LINK_ADDRESS "https://www.example.org/morvane"

#endif
