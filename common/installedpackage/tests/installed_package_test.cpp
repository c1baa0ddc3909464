// The installed package's look-up over a scripted registry: the views it
// opens, the order and the end of the product list, the names it reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "installed_package.h"

namespace {

using vel::InstalledPackage;

// The upgrade code's key in each view, and the products' texts by code
// ("code/ValueName").
struct ScriptedRegistry : vel::InstallerRegistry {
    long openDefault = vel::kRegistryOk;
    long open64 = vel::kRegistryNotFound;
    std::vector<std::string> codes;
    long listEnd = vel::kRegistryNoMoreItems;
    std::map<std::string, std::string> texts;
    std::vector<std::string> calls;
    bool view64 = false;

    long OpenUpgradeCodes(bool in64) override
    {
        calls.push_back(in64 ? "open 64" : "open");
        view64 = in64;
        return in64 ? open64 : openDefault;
    }
    long ProductCode(unsigned index, std::string &code) override
    {
        calls.push_back("code " + std::to_string(index));
        if (index >= codes.size())
            return listEnd;
        code = codes[index];
        return vel::kRegistryOk;
    }
    bool ProductText(const std::string &code, const char *valueName, std::string &text) override
    {
        calls.push_back(code + "/" + valueName + (view64 ? " (64)" : ""));
        auto it = texts.find(code + "/" + valueName);
        if (it == texts.end())
            return false;
        text = it->second;
        return true;
    }
};

TEST(InstalledPackage, TheDefaultViewFirstThenThe64BitViewOnlyWhenTheKeyIsMissing)
{
    struct Case {
        const char *what;
        long openDefault, open64;
        long result;
        std::vector<std::string> calls;
    } cases[] = {
        {"found", vel::kRegistryOk, vel::kRegistryNotFound, vel::kRegistryOk, {"open", "code 0"}},
        {"denied: no second try",
         vel::kRegistryAccessDenied,
         vel::kRegistryOk,
         vel::kRegistryAccessDenied,
         {"open"}},
        {"in the 64-bit view",
         vel::kRegistryNotFound,
         vel::kRegistryOk,
         vel::kRegistryOk,
         {"open", "open 64", "code 0"}},
        {"denied in the 64-bit view",
         vel::kRegistryNotFound,
         vel::kRegistryAccessDenied,
         vel::kRegistryAccessDenied,
         {"open", "open 64"}},
        {"in neither",
         vel::kRegistryNotFound,
         vel::kRegistryNotFound,
         vel::kRegistryNotFound,
         {"open", "open 64"}},
    };
    for (const Case &c : cases) {
        ScriptedRegistry r;
        r.openDefault = c.openDefault;
        r.open64 = c.open64;
        const InstalledPackage p = vel::LookUpInstalledPackage(r);
        EXPECT_EQ(c.result, p.openResult) << c.what;
        EXPECT_EQ(c.calls, r.calls) << c.what;
        EXPECT_TRUE(p.products.empty()) << c.what;
    }
}

TEST(InstalledPackage, EveryProductInOrderWithItsProductNameElseItsDisplayName)
{
    ScriptedRegistry r;
    r.openDefault = vel::kRegistryNotFound;
    r.open64 = vel::kRegistryOk;
    r.codes = {"A1", "B2", "C3"};
    r.texts = {{"A1/ProductName", "VEL Sorvelo v3.9.0 (x64)"},
               {"A1/DisplayName", "not read"},
               {"B2/DisplayName", "VEL Autre v1.2.3"},
               {"C3/Other", "x"}};
    const InstalledPackage p = vel::LookUpInstalledPackage(r);
    ASSERT_EQ(3u, p.products.size());
    EXPECT_TRUE(p.listEnded);
    ASSERT_NE(nullptr, vel::ProductShownName(p.products[0]));
    EXPECT_EQ("VEL Sorvelo v3.9.0 (x64)", *vel::ProductShownName(p.products[0]));
    EXPECT_FALSE(p.products[1].hasProductName);
    ASSERT_NE(nullptr, vel::ProductShownName(p.products[1]));
    EXPECT_EQ("VEL Autre v1.2.3", *vel::ProductShownName(p.products[1]));
    EXPECT_EQ(nullptr, vel::ProductShownName(p.products[2]));
    // The products are read in the view the key was found in.
    EXPECT_EQ((std::vector<std::string>{"open", "open 64", "code 0", "A1/ProductName (64)", "code 1",
                                        "B2/ProductName (64)", "B2/DisplayName (64)", "code 2",
                                        "C3/ProductName (64)", "C3/DisplayName (64)", "code 3"}),
              r.calls);
}

TEST(InstalledPackage, TheListEndsAtAnEmptyNameOrAnErrorAndAtTheCountAsked)
{
    struct Case {
        const char *what;
        std::vector<std::string> codes;
        long listEnd;
        size_t maxProducts;
        size_t read;
        bool ended;
    } cases[] = {
        {"no more items", {"A1", "B2"}, vel::kRegistryNoMoreItems, SIZE_MAX, 2, true},
        {"an empty name", {"A1", "", "C3"}, vel::kRegistryNoMoreItems, SIZE_MAX, 1, true},
        {"an error", {"A1"}, 234 /* more data */, SIZE_MAX, 1, false},
        {"no product", {}, vel::kRegistryNoMoreItems, SIZE_MAX, 0, true},
        {"the first only", {"A1", "B2"}, vel::kRegistryNoMoreItems, 1, 1, false},
    };
    for (const Case &c : cases) {
        ScriptedRegistry r;
        r.codes = c.codes;
        r.listEnd = c.listEnd;
        const InstalledPackage p = vel::LookUpInstalledPackage(r, c.maxProducts);
        EXPECT_EQ(c.read, p.products.size()) << c.what;
        EXPECT_EQ(c.ended, p.listEnded) << c.what;
    }
    ScriptedRegistry r;
    r.codes = {"A1", "B2"};
    vel::LookUpInstalledPackage(r, 1);
    EXPECT_EQ(0, std::count(r.calls.begin(), r.calls.end(), "code 1")); // the second is never asked for
}

} // namespace
