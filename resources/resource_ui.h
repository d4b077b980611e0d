#pragma once
// Resource identifiers of the ui layer.

// Menus, accelerators, bitmaps and the column dialog.
#define IDR_MAINFRAME                101
#define IDB_TREE_IMAGES              103
#define IDR_POPUP_DEVICE             205
#define IDR_POPUP_TAG                206
#define IDR_TOOLBAR                  207
#define IDB_TAG_ICONS                221
#define IDD_COLUMNS                  277

// The property, option, write, clients and about dialogs, the splash picture and the
// program icon (IDR_MAINFRAME).
#define IDD_ABOUTBOX                 100
#define IDD_GROUP                    102
#define IDB_SPLASH                   104
#define IDD_TAG                      209
#define IDD_WRITE_TO_TAG             260
#define IDD_OPTIONS                  261
#define IDD_CLIENTS                  262
#define IDD_FORCE_QUALITY            265

// Controls of the tag dialog.
#define IDC_TAG_LIMITS               1041
#define IDC_TAG_TYPE                 1049
#define IDC_TAG_NAME                 1052
#define IDC_TAG_DESCRIPTION          1053
#define IDC_TAG_VALUE                1054
#define IDC_TAG_MIN                  1055
#define IDC_TAG_MAX                  1056
#define IDC_TAG_DEADBAND             1057
#define IDC_TAG_READ_ONLY            1093
#define IDC_TAG_READ_WRITE           1094
#define IDC_TAG_DEADBAND_SPIN        1096
#define IDC_TAG_SIMULATE             1110
#define IDC_TAG_SIMULATION_KIND      1111
#define IDC_TAG_SIMULATION_STEP      1112
#define IDC_TAG_SIMULATION_PERIOD    1113

// Controls of the group dialog.
#define IDC_GROUP_REFRESH            1041
#define IDC_GROUP_SCHEDULE           1049
#define IDC_GROUP_NAME               1052
#define IDC_GROUP_HOURS              1053
#define IDC_GROUP_MINUTES            1054
#define IDC_GROUP_SECONDS            1055
#define IDC_GROUP_BY_SCHEDULE        1093
#define IDC_GROUP_BY_INTERVAL        1094
#define IDC_GROUP_HOURS_SPIN         1096
#define IDC_GROUP_MINUTES_SPIN       1097
#define IDC_GROUP_SECONDS_SPIN       1098

// Controls of the options dialog.
#define IDC_OPTIONS_BROWSE           1033
#define IDC_OPTIONS_LOG_RESET        1034
#define IDC_OPTIONS_LOG_ENABLED      1041
#define IDC_OPTIONS_LOG_SIZE         1052
#define IDC_OPTIONS_LOG_FILE         1053
#define IDC_OPTIONS_CONFIG_FILE      1057
#define IDC_OPTIONS_LOG_SIZE_SPIN    1096
#define IDC_OPTIONS_FAULT_CONTROL    1097
#define IDC_OPTIONS_UA_ENABLED       1110
#define IDC_OPTIONS_UA_PORT          1111

// Controls of the write dialog.
#define IDC_WRITE_CURRENT_VALUE      1051
#define IDC_WRITE_NEW_VALUE          1052
#define IDC_WRITE_TAG_NAME           1087
#define IDC_WRITE_TYPE_NAME          1100
#define IDC_FORCE_ITEM               1120
#define IDC_FORCE_QUALITY            1121

// Controls of the clients window.
#define IDC_CLIENTS_LIST             1120
#define IDC_CLIENTS_COUNT            1121

// Controls of the about box.
#define IDC_ABOUT_ICON               1101
#define IDC_ABOUT_VERSION            1102

// Controls of the column dialog.
#define IDC_COLUMN_LIST              1000
#define IDC_COLUMN_WIDTH             1001
#define IDC_COLUMN_UP                1002
#define IDC_COLUMN_DOWN              1003
#define IDC_COLUMN_RENAME            1004
#define IDC_COLUMN_RESET             1005
#define IDC_COLUMN_WIDTH_LABEL       1006

// Commands.
#define ID_POLL_SELECTED_DEVICE      111
#define ID_POLL_ALL_DEVICES          32771
#define ID_ADD_DEVICE                32772
#define ID_ADD_GROUP                 32773
#define ID_ADD_TAG                   32774
#define ID_EDIT_PROPERTIES           32777
#define ID_EDIT_DELETE               32785
#define ID_FILE_OPTIONS              32805
#define ID_FORCE_POLL                32806
#define ID_WRITE_TO_TAG              32807
#define ID_VIEW_COLUMNS              32810
#define ID_VIEW_CLIENTS              32832
#define ID_EDIT_FORCE_QUALITY        32833
#define ID_FILE_IMPORT_TAGS          32830
#define ID_FILE_EXPORT_TAGS          32831
#define ID_START_POLLING_DEVICE      32813
#define ID_STOP_POLLING_DEVICE       32814
#define ID_TOOLBAR_DOCK_TOP          32820
#define ID_TOOLBAR_DOCK_BOTTOM       32821
#define ID_TOOLBAR_DOCK_LEFT         32822
#define ID_TOOLBAR_DOCK_RIGHT        32823
#define ID_FILE_NEW                  57600
#define ID_FILE_OPEN                 57601
#define ID_FILE_SAVE                 57603
#define ID_FILE_SAVE_AS              57604
#define ID_APP_ABOUT                 57664
#define ID_APP_EXIT                  57665
#define ID_HELP                      57670
#define ID_NEXT_PANE                 57680
#define ID_PREV_PANE                 57681

// Status bar panes (each sized by its string).
#define ID_PANE_TIME                 105
#define ID_PANE_LAST_POLL            106
#define ID_PANE_NEXT_POLL            107
#define ID_PANE_CLIENTS              109
#define ID_PANE_STATE                110
#define ID_PANE_UA                   111

// Status texts.
#define IDS_NO_SELECTION             61251
#define IDS_TIME_PREFIX              61255
#define IDS_LAST_POLL_PREFIX         61256
#define IDS_NEXT_POLL_PREFIX         61257
#define IDS_STATE_PREFIX             61272
#define IDS_FILE_FILTER              61300
#define IDS_TAG_FILE_FILTER          61306
#define IDS_READY                    61301
#define IDS_PANE_STATE_IDLE          61302
#define IDS_PANE_STATE_STARTING      61303
#define IDS_PANE_STATE_WAITING       61304
#define IDS_PANE_STATE_POLLING       61305
#define IDS_LOG_NAME_RESTART         61262
#define IDS_LOG_FILE_FILTER          61263
#define IDS_LOG_FILE_TITLE           61264
#define IDS_LOG_FILE_EXTENSION       61265

// The value replay dialog and its progress window.
#define IDD_REPLAY                   263
#define IDD_REPLAY_PROGRESS          264
#define IDC_REPLAY_FILE              1200
#define IDC_REPLAY_BROWSE            1201
#define IDC_REPLAY_SPEED             1202
#define IDC_REPLAY_LOOP              1203
#define IDC_REPLAY_BAR               1204
#define IDC_REPLAY_ROWS              1205
#define IDC_REPLAY_FILE_NAME         1206
#define ID_FILE_REPLAY               32840

// Options: who may connect to the OPC UA endpoint.
#define IDC_OPTIONS_UA_REMOTE        1112
#define IDC_OPTIONS_UA_UNSECURED     1113
#define IDC_OPTIONS_UA_ANONYMOUS     1114
#define IDC_OPTIONS_UA_ANON_ROLE     1115
#define IDC_OPTIONS_UA_USERS         1116
#define IDC_OPTIONS_UA_CERTIFICATES  1117
#define IDC_OPTIONS_UA_NOTE          1118

// The OPC UA users and their roles, and the sub-dialog of one user.
#define IDD_UA_USERS                 270
#define IDD_UA_USER                  271
#define IDC_UA_USERS_LIST            1300
#define IDC_UA_USERS_ADD             1301
#define IDC_UA_USERS_CHANGE          1302
#define IDC_UA_USERS_REMOVE          1303
#define IDC_UA_USERS_NOTE            1304
#define IDC_UA_USER_NAME             1310
#define IDC_UA_USER_ROLE             1311
#define IDC_UA_USER_PASSWORD         1312
#define IDC_UA_USER_CONFIRM          1313
#define IDC_UA_USER_NOTE             1314

// OPC UA Certificates: the client certificates trusted and rejected, and the server's own.
#define IDD_UA_CERTIFICATES          272
#define IDC_UACERT_TRUSTED           1350
#define IDC_UACERT_REJECTED          1351
#define IDC_UACERT_TRUST             1352
#define IDC_UACERT_REJECT            1353
#define IDC_UACERT_DELETE            1354
#define IDC_UACERT_IMPORT            1355
#define IDC_UACERT_OWN_SUBJECT       1356
#define IDC_UACERT_OWN_NAMES         1357
#define IDC_UACERT_OWN_THUMBPRINT    1358
#define IDC_UACERT_OWN_VALIDITY      1359
#define IDC_UACERT_OWN_WARNING       1360
#define IDC_UACERT_VIEW              1361
#define IDC_UACERT_EXPORT            1362
#define IDC_UACERT_RENEW             1363
#define IDC_UACERT_FOLDER            1364

// Alarms: the tag's alarm settings, the alarm window and its comment box.
#define IDD_ALARM_SETTINGS           273
#define IDD_ALARMS                   274
#define IDD_ALARM_COMMENT            275
#define IDC_TAG_ALARM                1130
#define IDC_TAG_ALARM_SUMMARY        1131
#define IDC_ALARM_KIND               1400
#define IDC_ALARM_HIGHHIGH_ON        1401
#define IDC_ALARM_HIGHHIGH           1402
#define IDC_ALARM_HIGH_ON            1403
#define IDC_ALARM_HIGH               1404
#define IDC_ALARM_LOW_ON             1405
#define IDC_ALARM_LOW                1406
#define IDC_ALARM_LOWLOW_ON          1407
#define IDC_ALARM_LOWLOW             1408
#define IDC_ALARM_DEADBAND           1409
#define IDC_ALARM_NORMAL             1410
#define IDC_ALARM_SEVERITY           1411
#define IDC_ALARM_SEVERITY_HH        1412
#define IDC_ALARM_MESSAGE            1413
#define IDC_ALARM_NEEDS_CONFIRM      1414
#define IDC_ALARM_ENABLED            1415
#define IDC_ALARMS_LIST              1420
#define IDC_ALARMS_STATUS            1421
#define IDC_ALARMS_ACK               1422
#define IDC_ALARMS_CONFIRM           1423
#define IDC_ALARMS_COMMENT           1424
#define IDC_ALARMS_ENABLE            1425
#define IDC_ALARMS_DISABLE           1426
#define IDC_ALARM_COMMENT_ITEMS      1430
#define IDC_ALARM_COMMENT_TEXT       1431
#define ID_VIEW_ALARMS               32841
#define ID_PANE_ALARMS               112

// History: the trend window, the tag dialog's check box and the options' limits.
#define IDD_TREND                    276
#define IDC_TREND_CHART              1440
#define IDC_TREND_ZOOM_IN            1441
#define IDC_TREND_ZOOM_OUT           1442
#define IDC_TREND_NOW                1443
#define IDC_TREND_RANGE              1444
#define IDC_TAG_HISTORIZE            1132
#define IDC_OPTIONS_HISTORY_SPAN     1119
#define IDC_OPTIONS_HISTORY_MEMORY   1122
#define IDC_OPTIONS_QUALITY_WRITES   1126
#define ID_VIEW_TREND                32842
// DA 3.0: the options' offer switch.
#define IDC_OPTIONS_DA3              1124
// Find: tags by item ID or description.
#define IDD_FIND                     278
#define IDC_FIND_TEXT                1450
#define IDC_FIND_ITEM_IDS            1451
#define IDC_FIND_DESCRIPTIONS        1452
#define IDC_FIND_MATCH_CASE          1453
#define ID_EDIT_FIND                 32843
