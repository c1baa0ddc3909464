// A card held in software: what a real VEL card stores, parsed from and
// written back to the card image text (see README.md). Platform-free.
#ifndef SOFTCARD_CARD_H
#define SOFTCARD_CARD_H

#include <string>
#include <vector>

#include "rsa.h"

namespace softcard {

// A PIN or unblock code with its try counter.
struct Pin {
    std::string code;
    unsigned left = 3, max = 3;
    unsigned minLen = 4, maxLen = 8;
};

struct DataObject {
    std::string label;
    bool isPrivate = false;
    Bytes value;
};

struct CertObject {
    std::string label;
    Bytes id;
    Bytes der;
};

struct KeyObject {
    std::string label;
    Bytes id;
    Bytes der; // PKCS#1 RSAPrivateKey
};

struct Card {
    std::string label, manufacturer, model, serial;
    bool recognised = true; // a card of another family: present, but not usable
    Bytes atr;
    Pin user, so;
    std::vector<DataObject> data;
    std::vector<CertObject> certs;
    std::vector<KeyObject> keys;
};

struct Record;

// From the records of one card image. False with a message on any error,
// including certificates and keys that do not parse and keys without a
// certificate of the same id.
bool cardFromRecords(const std::vector<Record> &records, Card &card, std::string &error);
bool parseCard(const std::string &text, Card &card, std::string &error);
std::string cardToText(const Card &card);

} // namespace softcard

#endif
