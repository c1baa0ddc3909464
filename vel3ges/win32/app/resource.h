// Resource and control ids of the card manager (the templates' own numbers).
#ifndef VEL3GES_APP_RESOURCE_H
#define VEL3GES_APP_RESOURCE_H

#define IDI_VEL                 2
#ifndef IDC_STATIC
#define IDC_STATIC              (-1)
#endif
#define IDD_ABOUTBOX            100
#define IDD_MAIN                102
#define IDR_MAINMENU            103
#define IDD_INTROCARTE          105
#define IDD_CODE                109
#define IDD_QUITTER             111

// Main dialog
#define IDC_ABOUT_VERSION       1008
#define IDC_PANE_CAPTION        1011
#define IDC_PANE_DIAG           1012
#define IDC_PANE_JOUR           1013
#define IDC_PANE_DATA_UPPER     1014
#define IDC_PANE_TRACE          1015
#define IDC_PRINT               1016
#define IDC_CLOSE_PANE          1017
#define IDC_NEXT                1018
#define IDC_PREV                1019
#define IDC_INTROCARTE          1021
#define IDC_CHANGERCODE         1022
#define IDC_FORCERCP            1023
#define IDC_CHANGELECT          1024
#define IDC_LECDONNEES          1025
#define IDC_LECSIT              1026
#define IDC_SHOW_JOURNAL        1027
#define IDC_SHOW_DATA           1028
#define IDC_SHOW_DIAG           1029
#define IDC_SHOW_TRACE          1030
#define IDC_BAND_BOTTOM         1045
#define IDC_BAND_TOP            1046
#define IDC_HOLDER_NAME         1050
#define IDC_HOLDER_ID           1051
#define IDC_HOLDER_TITLE        1052
#define IDC_CARD_TITLE          1053
#define IDC_CARD_ID             1054
#define IDC_CARD_EXPIRY         1055
#define IDC_READER_LINE         1056
#define IDC_PROGRESS_BUTTON     1060
#define IDC_STATUS              1062
#define IDC_CANCEL_OPERATION    1063
#define IDC_PANE_DATA_LOWER     1065
#define IDC_PROGRESS            1075

// Menu commands
#define ID_PRESENT_PIN          32775
#define ID_SELF_TEST            32776
#define ID_TEST_READER          32779
#define ID_CERTIFICATES         32782
#define ID_OPTIONS              32783
#define ID_APP_ABOUT            57664

// Card prompt
#define IDC_INTRO_LINE1         1035
#define IDC_INTRO_LINE2         1036
// PIN dialog
#define IDC_CODE_EDIT           1039
#define IDC_CODE_CLEAR          1067
#define IDC_CODE_KEYPAD         1071
// Save options (the ids the template gives the four check boxes)
#define IDC_SAVE_JOURNAL        1055
#define IDC_SAVE_DATA           1056
#define IDC_SAVE_DIAG           1012
#define IDC_SAVE_TRACE          1014

#endif
