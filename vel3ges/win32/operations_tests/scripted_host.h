// A scripted main dialog for the tests of the menu's card operations: the
// card layer's ScriptedUi with the status line, progress and cancel recorded,
// and a DialogHost whose answers come from the test.
#ifndef VEL3GES_OPERATIONS_TESTS_SCRIPTED_HOST_H
#define VEL3GES_OPERATIONS_TESTS_SCRIPTED_HOST_H

#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "DialogHost.h"
#include "card_test_support.h"

namespace vel {

class OperationsUi : public ScriptedUi {
public:
    std::vector<std::string> statuses;
    std::vector<unsigned> positions;
    // Cancel is requested once a status line containing this text was shown.
    std::string cancelAtStatus;
    bool cancelled = false;

    void SetStatusText(const char *text) override
    {
        statuses.push_back(text);
        if (!cancelAtStatus.empty() && statuses.back().find(cancelAtStatus) != std::string::npos)
            cancelled = true;
    }
    void StepProgressTo(unsigned position) override { positions.push_back(position); }
    bool CancelRequested() override { return cancelled; }
};

class ScriptedHost : public DialogHost {
public:
    // What the host saw.
    std::vector<std::string> calls; // "Begin 16", "End", "ShowPane 6", "Bit 40 off", ...
    std::vector<std::string> questions, proposedNames, errors;
    unsigned beginSteps = 0;
    int verifyPinCalls = 0, startCalls = 0;
    CK_SLOT_ID chosenSlot = 0xDEAD;

    // Its answers.
    std::function<uint16_t()> verifyPin; // default: 0x500
    std::deque<bool> yesNo;              // default: No
    std::deque<std::string> savePaths;   // empty: the save dialog is cancelled
    CK_TOKEN_INFO token{};
    std::string coffre;
    std::vector<ReaderEntry> readers;
    std::function<bool(const std::vector<ReaderEntry> &, CK_SLOT_ID &)> readerDialog;
    uint16_t cardState = 257;

    void BeginLongOperation(unsigned steps, bool cancellable) override
    {
        beginSteps = steps;
        calls.push_back("Begin " + std::to_string(steps) + (cancellable ? " cancellable" : ""));
    }
    void EndLongOperation() override { calls.push_back("End"); }
    void SetCommandState(uint32_t bit, bool on) override
    {
        char text[32];
        std::snprintf(text, sizeof text, "Bit %x %s", static_cast<unsigned>(bit), on ? "on" : "off");
        calls.push_back(text);
    }
    void HidePane() override { calls.push_back("HidePane"); }
    void ShowPane(PaneType type) override { calls.push_back("ShowPane " + std::to_string(type)); }
    uint16_t VerifyPin() override
    {
        ++verifyPinCalls;
        return verifyPin ? verifyPin() : 0x500;
    }
    void ResetToCardIntroduction() override { calls.push_back("ResetToCardIntroduction"); }
    uint16_t CardStateFromRv() override { return cardState; }
    void ShowCardState(uint16_t state) override { calls.push_back("ShowCardState " + std::to_string(state)); }
    const CK_TOKEN_INFO &CurrentTokenInfo() override { return token; }
    bool AskYesNo(const char *text) override
    {
        questions.push_back(text);
        if (yesNo.empty())
            return false;
        bool a = yesNo.front();
        yesNo.pop_front();
        return a;
    }
    void ShowError(const char *text, const char *caption) override
    {
        errors.push_back(std::string(caption) + ": " + text);
    }
    bool AskCertificatePath(const char *proposedName, std::string &path) override
    {
        proposedNames.push_back(proposedName);
        if (savePaths.empty())
            return false;
        path = savePaths.front();
        savePaths.pop_front();
        return true;
    }
    std::string CoffreFolder() override { return coffre; }
    uint16_t RefreshSlotList() override
    {
        calls.push_back("RefreshSlotList");
        return readers.empty() ? 259 : 257;
    }
    std::vector<ReaderEntry> TakeReaderList() override { return readers; }
    bool ChooseReaderDialog(const std::vector<ReaderEntry> &list, CK_SLOT_ID &chosen) override
    {
        return readerDialog ? readerDialog(list, chosen) : false;
    }
    void SetChosenSlot(CK_SLOT_ID slot) override { chosenSlot = slot; }
    uint16_t StartCardManager() override
    {
        ++startCalls;
        return 2;
    }

    bool Saw(const std::string &call) const
    {
        for (const std::string &c : calls)
            if (c == call)
                return true;
        return false;
    }
};

} // namespace vel

#endif
