// "&Tests des services": every card service in turn on the inserted card,
// followed on the progress bar and status line, cancellable between
// services, ending on the diagnostic pane.
#ifndef VEL3GES_SELFTEST_SELFTEST_H
#define VEL3GES_SELFTEST_SELFTEST_H

namespace vel {

class DialogHost;

// Menu command 32776. Uses the dialog host installed with SetDialogHost and
// the card layer's CardUi; does nothing when either is missing.
void TestServices();
void TestServices(DialogHost &host);

} // namespace vel

#endif
