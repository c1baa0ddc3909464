#include "prov_param_name.h"

namespace {

struct Named {
    unsigned long id;
    const char *name;
};

// Padded here once, so that the trace columns line up without any work per line.
const Named kNames[] = {
    {1, "PP_ENUMALGS             "},  {2, "PP_ENUMCONTAINERS       "},  {3, "PP_IMPTYPE              "},
    {4, "PP_NAME                 "},  {5, "PP_VERSION              "},  {6, "PP_CONTAINER            "},
    {7, "PP_CHANGE_PASSWORD      "},  {8, "PP_KEYSET_SEC_DESCR     "},  {9, "PP_CERTCHAIN            "},
    {10, "PP_KEY_TYPE_SUBTYPE     "}, {16, "PP_PROVTYPE             "}, {17, "PP_KEYSTORAGE           "},
    {18, "PP_APPLI_CERT           "}, {19, "PP_SYM_KEYSIZE          "}, {20, "PP_SESSION_KEYSIZE      "},
    {21, "PP_UI_PROMPT            "}, {22, "PP_ENUMALGS_EX          "}, {25, "PP_ENUMMANDROOTS        "},
    {26, "PP_ENUMELECTROOTS       "}, {27, "PP_KEYSET_TYPE          "}, {31, "PP_ADMIN_PIN            "},
    {32, "PP_KEYEXCHANGE_PIN      "}, {33, "PP_SIGNATURE_PIN        "}, {34, "PP_SIG_KEYSIZE_INC      "},
    {35, "PP_KEYX_KEYSIZE_INC     "}, {36, "PP_UNIQUE_CONTAINER     "}, {37, "PP_SGC_INFO             "},
    {38, "PP_USE_HARDWARE_RNG     "}, {39, "PP_KEYSPEC              "}, {40, "PP_ENUMEX_SIGNING_PROT  "},
    {41, "PP_CRYPT_COUNT_KEY_USE  "}, {42, "PP_USER_CERTSTORE       "}, {43, "PP_SMARTCARD_READER     "},
    {45, "PP_SMARTCARD_GUID       "}, {46, "PP_ROOT_CERTSTORE       "}, {47, "PP_SMARTCARD_READER_ICON"},
};

} // namespace

const char *ProvParamName(unsigned long id)
{
    for (const Named &n : kNames)
        if (n.id == id)
            return n.name;
    return "UNKNOWN PARAMETER ?";
}
