// Resource ids of the tray program, and the commands of its menus: one
// place for the resource script, the code and the tests.
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

// Controls of the reader-state dialog (IDD_SLOTLIST).
#define IDC_SLOTLIST_LIST 1000
#define IDC_SLOTLIST_REFRESH 1005 // "Rafraîchir" / "Relancer ZEB"
#define IDC_SLOTLIST_WATCH 1006   // reader watching off / on

// Commands of the tray menu (IDR_TRAYICON), handled by the frame.
#define ID_LIST_READERS 0x8009   // "Lister l'état des lecteurs..."
#define ID_MYTRAY_REFRESH 0x800A // "Rafraîchir" ("Relancer ZEB" in event-driven mode)
#define ID_APP_ABOUT 0xE140      // "A propos de ZEB..."
#define ID_APP_EXIT 0xE141       // "Quitter"

#endif
