// Resource ids of the tray program.
#ifndef ZEB_RESOURCE_H
#define ZEB_RESOURCE_H

#define IDR_MAINFRAME 128    // program icon and title "ZEB"
#define IDR_TRAYICON 130     // id of the tray icon and its menu
#define IDI_NOCARD 131       // no card present
#define IDI_SYNCHRONISED 132 // certificates synchronised
#define IDI_TRAY 133         // icon shown at start, first animation frame
#define IDI_TRAY_BUSY 134    // second animation frame
#define IDD_ABOUTBOX 100
#define IDD_SLOTLIST 157

#endif
