// One card operation at a time on each slot, across every provider context
// of the process. The holder's login belongs to the card, shared by every
// session of the process on it: the PIN parameter's log-out and log-in on one
// context would otherwise land between another context's login check and its
// signature. The same turn lets the holder's answer to a PIN prompt answer
// the operations that waited behind it.
#ifndef VEL_CSP_CARD_TURNS_H
#define VEL_CSP_CARD_TURNS_H

#include <windows.h>

#include "pkcs11.h"

class PKCSContainer;

// The turn of one card operation on its container's slot (login check, key
// search, init, sign or decrypt, a PIN parameter's log-out and log-in, the
// session check): waits for the operations ahead of it, re-entrant for the
// thread that holds it (a signature logs in inside its own turn).
class CardOperation {
public:
    // A NULL container takes no turn.
    explicit CardOperation(const PKCSContainer *container);
    explicit CardOperation(CK_SLOT_ID slot);
    ~CardOperation();
    CardOperation(const CardOperation &) = delete;
    CardOperation &operator=(const CardOperation &) = delete;

    // The latest PIN prompt of this card that ended while this turn's
    // operation waited for it (its outermost turn) was cancelled: the
    // operation fails as cancelled, without a prompt of its own.
    bool PromptCancelledMeanwhile() const;
    // A PIN prompt of this card ended, cancelled or answered.
    void PromptEnded(bool cancelled);

    struct Slot;

private:
    void Take(Slot *slot);
    Slot *slot_ = nullptr;
};

// Operations waiting for their turn on a slot right now.
int OperationsWaitingFor(CK_SLOT_ID slot);

#endif
