// Object searches and attribute reads. Private objects exist for a session
// only while the user is logged in to its token.
#include "library.h"

#include <cstring>

namespace softcard {

CK_OBJECT_HANDLE Library::objectHandle(unsigned long insertion, size_t index)
{
    // The insertion in the handle keeps a stale handle from naming an object
    // of a card inserted later. Never 0, never 0xFFFFFFFF.
    return static_cast<CK_OBJECT_HANDLE>(((insertion & 0xFFFFul) + 1) << 8 | (index + 1));
}

namespace {
// Built with the library, not at first use (see Library::instance).
const std::vector<CardObject> kNoObjects;
} // namespace

const std::vector<CardObject> &Library::objectsOf(const Session &s)
{
    const std::vector<CardObject> &none = kNoObjects;
    const PlacedCard *pc = cardOf(s);
    if (!pc)
        return none;
    auto it = objects_.find(s.insertion);
    if (it == objects_.end() || it->second.cardName != pc->name || it->second.label != pc->card.label ||
        it->second.serial != pc->card.serial) {
        CachedObjects built;
        built.cardName = pc->name;
        built.label = pc->card.label;
        built.serial = pc->card.serial;
        built.objects = buildObjects(pc->card);
        if (built.objects.size() > 254)
            built.objects.resize(254); // what a handle can number
        it = objects_.insert_or_assign(s.insertion, std::move(built)).first;
    }
    return it->second.objects;
}

const CardObject *Library::object(const Session &s, CK_OBJECT_HANDLE h, bool *hidden)
{
    const std::vector<CardObject> &objs = objectsOf(s);
    size_t index = (h & 0xFF);
    if (index == 0 || index > objs.size() || objectHandle(s.insertion, index - 1) != h)
        return nullptr;
    const CardObject &o = objs[index - 1];
    if (o.isPrivate && loginOf(s) != CKU_USER) {
        if (hidden)
            *hidden = true;
        return nullptr;
    }
    return &o;
}

CK_RV Library::findObjectsInit(CK_SESSION_HANDLE h, const CK_ATTRIBUTE *tmpl, CK_ULONG count)
{
    Session *s;
    CK_RV rv = session(h, s);
    if (rv != CKR_OK)
        return rv;
    if (s->findActive)
        return CKR_OPERATION_ACTIVE;
    for (CK_ULONG i = 0; i < count; ++i)
        if (!tmpl[i].pValue && tmpl[i].ulValueLen)
            return CKR_ARGUMENTS_BAD;
    const std::vector<CardObject> &objs = objectsOf(*s);
    bool user = loginOf(*s) == CKU_USER;
    s->found.clear();
    for (size_t i = 0; i < objs.size(); ++i) {
        if (objs[i].isPrivate && !user)
            continue;
        if (matchesTemplate(objs[i], tmpl, count))
            s->found.push_back(objectHandle(s->insertion, i));
    }
    s->nextFound = 0;
    s->findActive = true;
    return CKR_OK;
}

CK_RV Library::activeSearch(CK_SESSION_HANDLE h, Session *&s)
{
    CK_RV rv = session(h, s);
    if (rv != CKR_OK)
        return rv;
    return s->findActive ? CKR_OK : CKR_OPERATION_NOT_INITIALIZED;
}

CK_RV Library::findObjects(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE *out, CK_ULONG max, CK_ULONG *count)
{
    Session *s;
    CK_RV rv = activeSearch(h, s);
    if (rv != CKR_OK)
        return rv;
    CK_ULONG n = 0;
    while (n < max && s->nextFound < s->found.size())
        out[n++] = s->found[s->nextFound++];
    *count = n;
    return CKR_OK;
}

CK_RV Library::findObjectsFinal(CK_SESSION_HANDLE h)
{
    Session *s;
    CK_RV rv = activeSearch(h, s);
    if (rv != CKR_OK)
        return rv;
    s->findActive = false;
    s->found.clear();
    return CKR_OK;
}

CK_RV Library::getAttributeValue(CK_SESSION_HANDLE h, CK_OBJECT_HANDLE o, CK_ATTRIBUTE *tmpl, CK_ULONG count)
{
    Session *s;
    CK_RV rv = session(h, s);
    if (rv != CKR_OK)
        return rv;
    const CardObject *obj = object(*s, o);
    if (!obj)
        return CKR_OBJECT_HANDLE_INVALID;
    // Every attribute is answered; the result tells the worst that happened.
    CK_RV result = CKR_OK;
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_ATTRIBUTE &a = tmpl[i];
        const Attribute *have = obj->find(a.type);
        if (!have) {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            result = CKR_ATTRIBUTE_TYPE_INVALID;
        } else if (have->sensitive) {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            if (result == CKR_OK)
                result = CKR_ATTRIBUTE_SENSITIVE;
        } else if (!a.pValue) {
            a.ulValueLen = static_cast<CK_ULONG>(have->value.size());
        } else if (a.ulValueLen < have->value.size()) {
            a.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            if (result == CKR_OK)
                result = CKR_BUFFER_TOO_SMALL;
        } else {
            if (!have->value.empty())
                std::memcpy(a.pValue, have->value.data(), have->value.size());
            a.ulValueLen = static_cast<CK_ULONG>(have->value.size());
        }
    }
    return result;
}

} // namespace softcard
