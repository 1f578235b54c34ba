/* Identifiers of the plug-in's resources, shared by the C++ code and by
 * gen_kiln.rc. Plain #defines only: the resource compiler reads this file too. */
#ifndef KILN_RESOURCES_RESOURCE_IDS_H
#define KILN_RESOURCES_RESOURCE_IDS_H

#define KILN_VERSION_TEXT "3.3.4"
#define KILN_VERSION_TEXT_W L"3.3.4"
#define KILN_VERSION_NUMBERS 3, 3, 4, 0

/* The plug-in's language identifier. It stands as text at IDS_LANGUAGE_GUID and
 * is parsed at compile time into kiln::res::kLanguageGuid (language_guid.h), so
 * the two cannot differ. */
#define KILN_LANGUAGE_GUID_TEXT "{44D4A349-61A5-4610-8EE1-D1D8CAA48407}"

/* Custom resource type of the gzip-compressed UTF-16 texts. gen_kiln.rc has to
 * spell it bare (KILNGZ): the resource compiler takes no quoted type names. */
#define KILN_TEXT_RESOURCE_TYPE "KILNGZ"
#define KILN_TEXT_RESOURCE_TYPE_W L"KILNGZ"

/* Dialogs */
#define IDD_HISTORY 101
#define IDD_NOW_PLAYING 102
#define IDD_ARTWORK 103
#define IDD_POST 104
#define IDD_PRESENCE 106
#define IDD_RULES 107
#define IDD_SCROBBLE_QUEUE 108
#define IDD_SCROBBLER_AUTHORISED 110
#define IDD_SCROBBLER_SETUP 111

/* Compressed texts (type KILNGZ) */
#define IDR_ABOUT_TEXT 115
#define IDR_PRESENCE_INTRO 116

/* Strings */
#define IDS_DISPLAY_NAME 1 /* "Kiln Log v%s": for the localisation service only */
#define IDS_ABOUT 2
#define IDS_GOTO_OPTIONS 3
#define IDS_HISTORY_TAB 4
#define IDS_RESET_CONFIRM 5
#define IDS_PLAY_TRACKING 6
#define IDS_POST_TAB 8
#define IDS_DISCORD 13
#define IDS_NOW_PLAYING_TAB 14
#define IDS_SCROBBLER 15
#define IDS_ARTWORK_TAB 18
#define IDS_IDENTITY_DEFAULT 19
#define IDS_IDENTITY_CUSTOM 23
#define IDS_PREFIX_LISTENING 24
#define IDS_PREFIX_BY_KIND 25
#define IDS_PREFIX_LEGACY 26
#define IDS_PAUSE_TRACKING 27
#define IDS_RULES 28
#define IDS_TRACKING_PAUSED 29
#define IDS_SCROBBLE_QUEUE 35
#define IDS_QUEUE_CONFIRM_TITLE 36
#define IDS_QUEUE_REMOVE_CONFIRM 37
#define IDS_QUEUE_MOVE_BACK_CONFIRM 38
#define IDS_QUEUE_EXPORT_TITLE 39
#define IDS_QUEUE_NOT_OWNER 40
#define IDS_QUEUE_EDIT_FAILED 41
#define IDS_QUEUE_EXPORT_FAILED 42
#define IDS_QUEUE_SCROBBLING_OFF 43
#define IDS_LANGUAGE_GUID 65535

/* Controls. Several ids are reused across dialogs with different roles; each
 * role has its own name. */
#define IDC_STATIC (-1)

/* History (101) and now-playing (102) tabs */
#define IDC_FOLDER 1001
#define IDC_FOLDER_BROWSE 1002
#define IDC_FILE_TEMPLATE 1003
#define IDC_PATH_PREVIEW 1004
#define IDC_LINE_TEMPLATE 1005
#define IDC_LINE_PREVIEW 1006
#define IDC_LINE_RESET 1007
#define IDC_FILE_RESET 1008
#define IDC_HISTORY_ENABLE 1021
#define IDC_HISTORY_MARKERS 1009
#define IDC_HISTORY_LINK 1055
#define IDC_HISTORY_SCROBBLER_LOG 1065
#define IDC_NOW_MODE 1021
#define IDC_NOW_LINK 1056

/* Artwork tab (103) */
#define IDC_ART_ENABLE 1049
#define IDC_ART_FOLDER 1009
#define IDC_ART_BROWSE 1010
#define IDC_ART_FILE_TEMPLATE 1011
#define IDC_ART_FILE_RESET 1012
#define IDC_ART_PATH_PREVIEW 1013
#define IDC_ART_SIZE_MODE 1021
#define IDC_ART_WIDTH 1050
#define IDC_ART_HEIGHT 1051

/* POST tab (104): one check box and one template per event */
#define IDC_POST_EVENT 1035
#define IDC_POST_PLAY_ENABLE 1025
#define IDC_POST_PLAY_TEMPLATE 1024
#define IDC_POST_PAUSE_ENABLE 1026
#define IDC_POST_PAUSE_TEMPLATE 1027
#define IDC_POST_UNPAUSE_ENABLE 1029
#define IDC_POST_UNPAUSE_TEMPLATE 1030
#define IDC_POST_STOP_ENABLE 1032
#define IDC_POST_STOP_TEMPLATE 1033
#define IDC_POST_RELAX_SSL 1031
#define IDC_POST_PREVIEW 1006
#define IDC_POST_LINK 1057
#define IDC_POST_HELD_BACK 1066

/* Presence page (106) */
#define IDC_PRESENCE_INTRO 1047
#define IDC_PRESENCE_ENABLE 1046
#define IDC_PRESENCE_RESET 1008
#define IDC_PRESENCE_AUTO_DISABLE 1048
#define IDC_PRESENCE_UPLOAD_ART 1049
#define IDC_PRESENCE_IDENTITY 1051
#define IDC_PRESENCE_APP_ID 1052
#define IDC_PRESENCE_PREFIX 1053
#define IDC_PRESENCE_TEMPLATE 1005
#define IDC_PRESENCE_PREVIEW 1006

/* Scrobbler page (110 authorised, 111 not yet) */
#define IDC_SCROBBLE_ENABLE 1062
#define IDC_SCROBBLE_NOW_PLAYING 1063
#define IDC_SCROBBLE_ACCOUNT 1048
#define IDC_SCROBBLE_INTRO 1059
#define IDC_SCROBBLE_STATUS_GROUP 1061
#define IDC_SCROBBLE_STATUS 1060
#define IDC_SCROBBLE_BUTTON 1058
#define IDC_SCROBBLE_LIBRARY_ONLY 1064

/* Tracking-paused notice: the history tab (101) and the rules page (107) */
#define IDC_PAUSED_NOTICE 1070
#define IDC_PAUSED_RESUME 1071

/* Rules page (107) */
#define IDC_RULES_TEXT 1072
#define IDC_RULES_ERROR 1073
#define IDC_RULES_MIN_SECONDS 1074
#define IDC_RULES_SHORT_FIRST 1075  /* five check boxes, one per output: 1075-1079 */
#define IDC_RULES_STREAM_FIRST 1080 /* likewise 1080-1084 */
#define IDC_RULES_TEST_ARTIST 1085
#define IDC_RULES_TEST_TITLE 1086
#define IDC_RULES_TEST_ALBUM 1087
#define IDC_RULES_TEST_PATH 1088
#define IDC_RULES_USE_PLAYING 1089
#define IDC_RULES_VERDICT 1090
/* Scrobble queue page (108) */
#define IDC_QUEUE_SUMMARY 1100
#define IDC_QUEUE_LAST_ATTEMPT 1101
#define IDC_QUEUE_WAITING 1102
#define IDC_QUEUE_SUBMIT 1103
#define IDC_QUEUE_REMOVE 1104
#define IDC_QUEUE_EXPORT 1105
#define IDC_QUEUE_REJECTED 1106
#define IDC_QUEUE_MOVE_BACK 1107
#define IDC_QUEUE_REFRESH 1108

#endif
