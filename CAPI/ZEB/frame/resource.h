// Resource ids of the tray program.
#ifndef ZEB_RESOURCE_H
#define ZEB_RESOURCE_H

#define IDR_MAINFRAME 128    // program icon and title "ZEB"
#define IDR_TRAYICON 130     // id of the tray icon
#define IDI_NOCARD 131       // no card present
#define IDI_SYNCHRONISED 132 // certificates synchronised
#define IDI_TRAY 133         // icon shown at start

#endif
