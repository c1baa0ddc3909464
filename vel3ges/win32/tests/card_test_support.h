// A scripted dialog for the card layer's tests: it keeps every pane's lines
// and answers the prompts from queues.
#ifndef VEL3GES_TESTS_CARD_TEST_SUPPORT_H
#define VEL3GES_TESTS_CARD_TEST_SUPPORT_H

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "CardUi.h"

namespace vel {

struct PinAnswer {
    uint32_t answer;
    std::string pin;
};

class ScriptedUi : public CardUi {
public:
    std::map<int, std::vector<std::string>> panes;
    std::vector<unsigned> traceStarts;
    PaneType shown = PaneNone;
    std::vector<bool> identificationShown;
    std::deque<uint32_t> readerAnswers, cardAnswers, loginAnswers;
    std::deque<PinAnswer> pinAnswers;
    struct PinRequest {
        uint32_t kind, status;
    };
    std::vector<PinRequest> pinRequests;

    void AppendPaneLine(PaneType type, const char *line) override { panes[type].push_back(line); }
    unsigned PaneLineCount(PaneType type) override { return static_cast<unsigned>(panes[type].size()); }
    void TrimPane(PaneType type, unsigned first, unsigned last) override
    {
        auto &p = panes[type];
        if (first < p.size())
            p.erase(p.begin() + first, p.begin() + std::min<size_t>(last + 1, p.size()));
    }
    void PushTraceServiceStart() override { traceStarts.push_back(PaneLineCount(PaneTrace)); }
    PaneType ShownPane() override { return shown; }
    void ShowIdentification(bool show) override { identificationShown.push_back(show); }
    void SetStatusText(const char *) override {}
    void StepProgressTo(unsigned) override {}
    void PumpMessages() override {}
    bool CancelRequested() override { return false; }
    uint32_t OnNoReader() override { return Pop(readerAnswers); }
    uint32_t OnNoCard() override { return Pop(cardAnswers); }
    uint32_t OnChooseLogin() override { return loginAnswers.empty() ? AnswerGoOn : Pop(loginAnswers); }
    uint32_t OnPinRequest(uint32_t kind, uint32_t status, SecretText &pin) override
    {
        pinRequests.push_back({kind, status});
        if (pinAnswers.empty())
            return AnswerGiveUp;
        PinAnswer a = pinAnswers.front();
        pinAnswers.pop_front();
        pin.Assign(a.pin.c_str());
        return a.answer;
    }

    const std::vector<std::string> &Lines(PaneType type) { return panes[type]; }
    // All panes' text, to look for a secret that must not be there.
    std::string AllText() const;

private:
    static uint32_t Pop(std::deque<uint32_t> &q)
    {
        if (q.empty())
            return AnswerGiveUp;
        uint32_t a = q.front();
        q.pop_front();
        return a;
    }
};

// The card layer reset, with `ui` as its dialog.
void ResetForTest(ScriptedUi &ui);

// Every record of the card on the current session, in the card manager's
// order: identity objects, the activities counted, then the billing.
void ReadWholeCard();

} // namespace vel

#endif
