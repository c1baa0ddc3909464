#include "card.h"

#include <cstdio>

#include "der.h"
#include "text_records.h"

namespace softcard {
namespace {

std::string recordError(const Record &r, const std::string &what)
{
    char buf[64];
    std::snprintf(buf, sizeof(buf), "ligne %d : ", r.line);
    return buf + what;
}

bool readPin(const Record &r, Pin &pin, std::string &error)
{
    unsigned long long left, max, minLen, maxLen;
    pin.code = r.get("code");
    if (!parseNumber(r.get("left"), 1000, left) || !parseNumber(r.get("max"), 1000, max) ||
        !parseNumber(r.get("minlen"), 255, minLen) || !parseNumber(r.get("maxlen"), 255, maxLen) ||
        left > max || max == 0 || minLen > maxLen || pin.code.size() < minLen || pin.code.size() > maxLen) {
        error = recordError(r, "code, essais (left<=max) ou longueurs invalides");
        return false;
    }
    pin.left = unsigned(left);
    pin.max = unsigned(max);
    pin.minLen = unsigned(minLen);
    pin.maxLen = unsigned(maxLen);
    return true;
}

bool readId(const Record &r, Bytes &id, std::string &error)
{
    if (!parseHex(r.get("id"), id) || id.empty()) {
        error = recordError(r, "id hexadécimal attendu");
        return false;
    }
    return true;
}

std::string pinText(const char *keyword, const Pin &p)
{
    char buf[96];
    std::snprintf(buf, sizeof(buf), " left=%u max=%u minlen=%u maxlen=%u\n", p.left, p.max, p.minLen,
                  p.maxLen);
    return std::string(keyword) + " code=" + quote(p.code) + buf;
}

} // namespace

bool cardFromRecords(const std::vector<Record> &records, Card &card, std::string &error)
{
    card = Card();
    bool header = false, token = false, user = false, so = false;
    for (const Record &r : records) {
        if (r.keyword == "vel-card") {
            if (r.words.size() != 1 || r.words[0] != "1") {
                error = recordError(r, "version d'image inconnue");
                return false;
            }
            header = true;
        } else if (r.keyword == "token") {
            card.label = r.get("label");
            card.manufacturer = r.get("manufacturer");
            card.model = r.get("model");
            card.serial = r.get("serial");
            card.recognised = r.get("recognised") != "no";
            if (card.label.size() > 32 || card.manufacturer.size() > 32 || card.model.size() > 16 ||
                card.serial.size() > 16) {
                error = recordError(r, "label (32), manufacturer (32), model (16) ou serial (16) trop long");
                return false;
            }
            token = true;
        } else if (r.keyword == "atr") {
            if (r.words.size() != 1 || !parseHex(r.words[0], card.atr) || card.atr.empty() ||
                card.atr.size() > 33) {
                error = recordError(r, "ATR hexadécimal de 1 à 33 octets attendu");
                return false;
            }
        } else if (r.keyword == "pin") {
            if (!readPin(r, card.user, error))
                return false;
            user = true;
        } else if (r.keyword == "unblock") {
            if (!readPin(r, card.so, error))
                return false;
            so = true;
        } else if (r.keyword == "data") {
            DataObject d;
            d.label = r.get("label");
            d.isPrivate = r.get("private") == "yes";
            d.value = r.blob;
            card.data.push_back(d);
        } else if (r.keyword == "cert") {
            CertObject c;
            c.label = r.get("label");
            c.der = r.blob;
            CertificateFields f;
            if (!readId(r, c.id, error))
                return false;
            if (!parseCertificate(c.der, f)) {
                error = recordError(r, "certificat X.509 RSA illisible");
                return false;
            }
            card.certs.push_back(c);
        } else if (r.keyword == "key") {
            KeyObject k;
            k.label = r.get("label");
            k.der = r.blob;
            RsaPrivateKey key;
            if (!readId(r, k.id, error))
                return false;
            if (!parseRsaPrivateKey(k.der, key)) {
                error = recordError(r, "clé RSA privée illisible");
                return false;
            }
            card.keys.push_back(k);
        } else {
            error = recordError(r, "mot-clé inconnu : " + r.keyword);
            return false;
        }
    }
    if (!header || !token || !user || !so || card.atr.empty()) {
        error = "image de carte incomplète (vel-card, token, atr, pin et unblock sont requis)";
        return false;
    }
    for (const KeyObject &k : card.keys) {
        bool found = false;
        for (const CertObject &c : card.certs)
            found = found || c.id == k.id;
        if (!found) {
            error = "clé sans certificat de même id : " + k.label;
            return false;
        }
    }
    return true;
}

bool parseCard(const std::string &text, Card &card, std::string &error)
{
    std::vector<Record> records;
    return parseRecords(text, records, error) && cardFromRecords(records, card, error);
}

std::string cardToText(const Card &card)
{
    std::string out = "vel-card 1\n";
    out += "token label=" + quote(card.label) + " manufacturer=" + quote(card.manufacturer) +
           " model=" + quote(card.model) + " serial=" + quote(card.serial);
    if (!card.recognised)
        out += " recognised=no";
    out += "\natr " + hexString(card.atr) + "\n";
    out += pinText("pin", card.user);
    out += pinText("unblock", card.so);
    for (const DataObject &d : card.data) {
        out += "data label=" + quote(d.label) + (d.isPrivate ? " private=yes\n" : " private=no\n");
        out += hexLines(d.value);
    }
    for (const CertObject &c : card.certs) {
        out += "cert label=" + quote(c.label) + " id=" + hexString(c.id) + "\n";
        out += hexLines(c.der);
    }
    for (const KeyObject &k : card.keys) {
        out += "key label=" + quote(k.label) + " id=" + hexString(k.id) + "\n";
        out += hexLines(k.der);
    }
    return out;
}

} // namespace softcard
