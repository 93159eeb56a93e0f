// Resource ids of the engine: icons, string table, the batch template.
#pragma once

#define IDI_SETUP     101 // setup icon group, the engine's main icon
#define IDI_UNINSTALL 102 // uninstall icon group
#define IDR_AUTODEL   116 // TEXT resource: the self-removal batch template

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
