// Resource ids of the "Choix d'un lecteur" dialog.
#ifndef VEL3GES_READERS_CHOIXLADRES_H
#define VEL3GES_READERS_CHOIXLADRES_H

#define IDD_CHOIX_LECTEUR 106
#define IDC_LISTE_LECTEURS 1038

#endif
