// The PKCS#11 structure layout that callers and the library must agree on.
#include <cstddef>
#include <gtest/gtest.h>
#include "pkcs11.h"

TEST(Pkcs11Layout, WindowsPackingAndWidths)
{
#if defined(_WIN32)
    EXPECT_EQ(4u, sizeof(CK_ULONG));
    EXPECT_EQ(104u, sizeof(CK_SLOT_INFO));
    EXPECT_EQ(160u, sizeof(CK_TOKEN_INFO));
    // 1-byte packing: the flags follow the 96 text bytes with no padding.
    EXPECT_EQ(96u, offsetof(CK_SLOT_INFO, flags));
    EXPECT_EQ(4u, offsetof(CK_ATTRIBUTE, pValue));
    EXPECT_EQ(2u, offsetof(CK_FUNCTION_LIST, C_Initialize));
#else
    EXPECT_EQ(sizeof(unsigned long), sizeof(CK_ULONG));
    EXPECT_EQ(sizeof(void *), offsetof(CK_ATTRIBUTE, pValue));
#endif
}

TEST(Pkcs11Layout, FunctionListOrder)
{
    // The list's order is the interface: a caller indexes it by position.
    EXPECT_LT(offsetof(CK_FUNCTION_LIST, C_Initialize), offsetof(CK_FUNCTION_LIST, C_Finalize));
    EXPECT_EQ(offsetof(CK_FUNCTION_LIST, C_Initialize) + 67 * sizeof(void *),
              offsetof(CK_FUNCTION_LIST, C_WaitForSlotEvent));
    EXPECT_EQ(offsetof(CK_FUNCTION_LIST, C_Initialize) + 42 * sizeof(void *),
              offsetof(CK_FUNCTION_LIST, C_SignInit));
}
