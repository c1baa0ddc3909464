// The name a provider-parameter trace line shows for a parameter id.
#ifndef VEL_CSP_PROV_PARAM_NAME_H
#define VEL_CSP_PROV_PARAM_NAME_H

// The CryptoAPI name of a provider parameter, blank-padded on the right to 24
// characters, or "UNKNOWN PARAMETER ?" (not padded) for an id we do not know.
const char *ProvParamName(unsigned long id);

#endif
