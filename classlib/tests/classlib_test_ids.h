#pragma once
#define IDD_FULL 200
#define IDD_NOCANCEL 201
#define IDC_CMD 300
#define IDC_CHECK 301
#define IDC_EDIT 302
#define IDC_BITMAP 303
#define IDC_OWNERDRAW 304
#define IDC_NOBITMAP 305
#define ID_APP_COMMAND 400
#define IDD_LIST 202
#define IDC_LIST 306
#define IDD_MODULE 500
#define IDR_FRAME 600
