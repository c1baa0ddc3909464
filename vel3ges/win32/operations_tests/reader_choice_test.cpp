// The reader choice: the list the dialog shows, the slot it gives back, and
// the restart on the chosen reader.
#include <gtest/gtest.h>

#include "CardConnection.h"
#include "CardRecords.h"
#include "ReaderChoice.h"
#include "SlotList.h"
#include "operations_fixture.h"

namespace vel {
namespace {

const std::vector<ReaderEntry> kReaders = {
    {11, true, "Lecteur A"},
    {12, true, "Lecteur B"},
    {13, false, ""},
    {14, true, "Lecteur D"},
};

TEST(ReaderList, StopsAtTheFirstReaderWithoutName)
{
    EXPECT_EQ((std::vector<std::string>{"Lecteur A", "Lecteur B"}), ListedReaderNames(kReaders));
    EXPECT_TRUE(ListedReaderNames({}).empty());
}

TEST(ReaderList, ThePickedSlotIsTheOneAtTheSelectionOrLeftAlone)
{
    struct Case {
        int selection;
        CK_SLOT_ID slot;
    };
    for (Case c : {Case{0, 11}, Case{1, 12}, Case{2, 99}, Case{3, 99}, Case{-1, 99}, Case{40, 99}}) {
        CK_SLOT_ID chosen = 99;
        PickReader(kReaders, c.selection, chosen);
        EXPECT_EQ(c.slot, chosen) << c.selection;
    }
}

class ReaderChoice : public ::testing::Test {
protected:
    OperationsUi ui;
    ScriptedHost host;

    void SetUp() override
    {
        ops::SetUpCard(ops::CardKind::Default, ui);
        host.readers = kReaders;
        g_card.idRead = g_card.nameRead = g_card.infoRead = true;
        g_card.cardPresent = true;
        for (int i = 0; i < 6; ++i)
            ui.AppendPaneLine(PaneDataUpper, "upper");
        ui.AppendPaneLine(PaneDataLower, "lower");
    }
};

TEST_F(ReaderChoice, ChosenReaderRestartsTheCardManagerOnIt)
{
    host.readerDialog = [](const std::vector<ReaderEntry> &list, CK_SLOT_ID &chosen) {
        PickReader(list, 1, chosen);
        return true;
    };
    CK_SESSION_HANDLE session = hSession;
    ChooseReader(host);

    EXPECT_EQ(12u, host.chosenSlot);
    EXPECT_EQ(1, host.startCalls);
    EXPECT_EQ(kNoSession, hSession);
    EXPECT_EQ(0u, fake::State().sessions.count(session));
    ASSERT_EQ(1u, ui.Lines(PaneJournal).size());
    EXPECT_NE(std::string::npos, ui.Lines(PaneJournal)[0].find("  Changement de lecteur"));
    EXPECT_FALSE(g_card.idRead || g_card.nameRead || g_card.infoRead || g_card.cardPresent);
    EXPECT_EQ(4u, ui.PaneLineCount(PaneDataUpper));
    EXPECT_EQ(0u, ui.PaneLineCount(PaneDataLower));
}

TEST_F(ReaderChoice, CancelKeepsTheRecordsAndWritesNoJournalLine)
{
    host.readerDialog = [](const std::vector<ReaderEntry> &, CK_SLOT_ID &) { return false; };
    CK_SESSION_HANDLE session = hSession;
    ChooseReader(host);

    EXPECT_EQ(session, hSession);
    EXPECT_EQ(0, fake::State().Count("C_CloseSession"));

    EXPECT_EQ(0xDEADu, host.chosenSlot);
    EXPECT_EQ(0, host.startCalls);
    EXPECT_TRUE(ui.Lines(PaneJournal).empty());
    EXPECT_TRUE(g_card.idRead && g_card.cardPresent);
    EXPECT_EQ(6u, ui.PaneLineCount(PaneDataUpper));
}

TEST_F(ReaderChoice, FailedSessionCloseLeavesTheCardAsItWas)
{
    host.readerDialog = [](const std::vector<ReaderEntry> &, CK_SLOT_ID &) { return true; };
    fake::Force("C_CloseSession", CKR_DEVICE_ERROR);
    ChooseReader(host);

    EXPECT_EQ(0, host.startCalls);
    EXPECT_EQ(1u, ui.Lines(PaneJournal).size());
    EXPECT_TRUE(g_card.idRead);
}

} // namespace
} // namespace vel

namespace vel {
namespace {

class SlotListing : public ::testing::Test {
protected:
    OperationsUi ui;
    std::vector<ReaderEntry> readers;
    void SetUp() override { ops::SetUpCard(ops::CardKind::Default, ui); }
};

// The holder may still cancel the choice: the card in use stays usable.
TEST_F(SlotListing, ListsEverySlotWithItsDescriptionLeavingTheSessionAndTheCard)
{
    CK_SESSION_HANDLE session = hSession;
    for (bool present : {true, false}) {
        g_card.cardPresent = present;
        EXPECT_EQ(257, ListReadersForChoice(readers));
        ASSERT_EQ(1u, readers.size());
        EXPECT_EQ(fake::State().slot, readers[0].slot);
        EXPECT_TRUE(readers[0].named);
        EXPECT_EQ("Lecteur de test 0", readers[0].name);
        EXPECT_EQ(session, hSession);
        EXPECT_EQ(1u, fake::State().sessions.count(session));
        EXPECT_EQ(present, g_card.cardPresent);
    }
    EXPECT_EQ(0, fake::State().Count("C_CloseSession"));
    EXPECT_EQ(4, fake::State().Count("C_GetSlotList"));
}

TEST_F(SlotListing, FailedListingsGiveNoReader)
{
    for (int failing : {0, 1}) {
        ops::SetUpCard(ops::CardKind::Default, ui);
        if (failing == 1)
            fake::Force("C_GetSlotList", CKR_OK); // the count
        // A reader plugged in between the two listings.
        fake::Force("C_GetSlotList", failing ? CKR_BUFFER_TOO_SMALL : CKR_DEVICE_ERROR);
        g_card.cardPresent = true;
        EXPECT_EQ(259, ListReadersForChoice(readers)) << failing;
        EXPECT_TRUE(readers.empty());
        EXPECT_TRUE(g_card.cardPresent);
    }
}

// A library that reports an absurd slot count: the list is not built and
// the refresh reports host memory, without an exception.
CK_ULONG g_reportedCount = 0;
CK_RV AbsurdSlotList(CK_BBOOL, CK_SLOT_ID_PTR, CK_ULONG_PTR count)
{
    *count = g_reportedCount;
    return CKR_OK;
}

TEST_F(SlotListing, AbsurdSlotCountTakesTheHostMemoryPath)
{
    CK_FUNCTION_LIST functions = *fake::Functions();
    functions.C_GetSlotList = AbsurdSlotList;
    for (CK_ULONG count : {CK_ULONG(0xFFFFFFFFUL), CK_ULONG(0x40000000UL), CK_ULONG(4097)}) {
        ops::SetUpCard(ops::CardKind::Default, ui);
        BindFunctionList(&functions);
        g_reportedCount = count;
        readers.assign(1, ReaderEntry{1, true, "old"});
        EXPECT_EQ(259, ListReadersForChoice(readers)) << count;
        EXPECT_EQ(CKR_HOST_MEMORY, lastRv) << count;
        EXPECT_TRUE(readers.empty()) << count;
    }
    BindFunctionList(fake::Functions());
}

TEST_F(SlotListing, SlotWithoutReadableDescriptionHasNoName)
{
    fake::Force("C_GetSlotInfo", CKR_DEVICE_ERROR);
    EXPECT_EQ(257, ListReadersForChoice(readers));
    ASSERT_EQ(1u, readers.size());
    EXPECT_FALSE(readers[0].named);
    EXPECT_EQ(CKR_OK, lastRv);
}

} // namespace
} // namespace vel
