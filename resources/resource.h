// Resource ids of the engine: icons, string table, the batch template, the wizard dialogs.
#pragma once

#define IDI_SETUP     101 // setup icon group, the engine's main icon
#define IDI_UNINSTALL 102 // uninstall icon group

#define IDS_CONFIRM_QUIT          1000
#define IDS_CRITICAL_ERROR        1001
#define IDS_NO_DISK_SPACE         1003
#define IDS_INSTALL_FOLDER_FAILED 1005
#define IDS_PREVIOUS_VERSION      1007
#define IDS_NOT_ADMINISTRATOR     1009
#define IDS_RESTART               1011
#define IDS_PROGRAM_RUNNING       1013
#define IDS_FILE_NOT_COPIED       1015
#define IDS_LINK_NOT_CREATED      1018
#define IDS_REGISTRY_NOT_WRITTEN  1022
#define IDS_MODE_SETUP            1026
#define IDS_MODE_UNINSTALL        1027
#define IDS_LOG_SUCCESS           1030
#define IDS_LOG_FAILURE           1032
#define IDS_CONFIG_FOLDER_FAILED  1033
#define IDS_FOLDER_NOT_CREATED    1035
#define IDS_KEEP_SETTINGS_WARNING 1037
#define IDS_ABSOLUTE_PATH         1039
#define IDS_NO_64BIT              1043
#define IDS_SCRIPT_ERROR          1045
#define IDS_ALREADY_RUNNING       1047
#define IDS_BROWSE_INSTALL_TITLE  1049
#define IDS_BROWSE_DATA_TITLE     1051
#define IDS_FOLDER_NOT_TRUSTED    1053
#define IDS_USAGE                 1054

// Status lines of the progress page, formats with %s only (each language keeps the English
// number and order of them; one that does not is not used).
#define IDS_STATUS_FINISHED       1100
#define IDS_STATUS_CREATE_FOLDER  1101
#define IDS_STATUS_COPY_FILE      1102
#define IDS_STATUS_DELETE_FILE    1103
#define IDS_STATUS_REMOVE_FOLDER  1104
#define IDS_STATUS_REGISTRY_VALUE 1105
#define IDS_STATUS_DELETE_KEY     1106
#define IDS_STATUS_DELETE_VALUE   1107
#define IDS_STATUS_CREATE_LINK    1108
#define IDS_STATUS_NOTIFY_SHELL   1109
#define IDS_STATUS_PATCH_FILE     1110
#define IDS_STATUS_CLOSE_PROGRAM  1111
#define IDS_STATUS_STOP_SERVICE   1112
#define IDS_STATUS_EXECUTE        1113
#define IDS_STATUS_SET_VARIABLE   1114
#define IDS_STATUS_ROLL_BACK      1115
#define IDS_STATUS_ADD_PATH       1116
#define IDS_STATUS_REMOVE_PATH    1117

// Wizard dialog templates.
#define IDD_WELCOME            104
#define IDD_LICENSE            105
#define IDD_FRAME              108
#define IDD_DIRECTORY          109
#define IDD_PROGRESS           110
#define IDD_FINISH             111
#define IDD_UNINSTALL_WELCOME  114
#define IDD_UNINSTALL_PROGRESS 115
#define IDD_UNINSTALL_FINISH   117

// Controls every page has: the banner placeholder with its title and subtitle, the link
// placeholder and the button row (IDOK forward, IDCANCEL cancel or no, IDC_BACK back).
#define IDC_BACK     3
#define IDC_TITLE    1002
#define IDC_SUBTITLE 1004
#define IDC_LINK     1031
#define IDC_BANNER   1049

// Page texts. Pages reuse these ids for the text at the same place.
#define IDC_INFO        1006
#define IDC_DESCRIPTION 1007
#define IDC_NOTE        1008
#define IDC_FOOTER      1010
#define IDC_EXTRA       1012

#define IDC_LICENSE_TEXT 1008

#define IDC_BROWSE_INSTALL      4
#define IDC_BROWSE_CUSTOM       6
#define IDC_INSTALL_PATH        1014
#define IDC_CUSTOM_PATH         1020
#define IDC_FOR_ALL_USERS       1038
#define IDC_FOR_CURRENT_USER    1040
#define IDC_DATA_DEFAULT        1046
#define IDC_DATA_CUSTOM         1048
#define IDC_SETTINGS_INDIVIDUAL 1050
#define IDC_SETTINGS_SHARED     1051

#define IDC_PROGRESS_BAR 1017
#define IDC_STATUS       1021
#define IDC_STATUS2      1022

#define IDC_START_PROGRAM 1023
#define IDC_SHOW_MANUAL   1025
#define IDC_DESKTOP_LINK  1028

#define IDC_NOT_REMOVED  1008
#define IDC_CHECK_FOLDER 1010
#define IDC_KEEP_FILES   1012
#define IDC_FINISH_HINT  1034
#define IDC_FOLDER_LINK  1036

#define IDC_KEEP_SETTINGS 1044
#define IDC_DATA_FOLDER   1010
