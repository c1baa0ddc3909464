// The provider's own PIN dialog (template 101 of the provider library).
#include <cstdio>
#include <cstring>

#include "globals/csp_globals.h"
#include "pin_prompts.h"

namespace {

// What one dialog works on; the typed text lives here, never in a global.
struct PinDialogState {
    const PinPromptTexts *texts;
    char typed[30];
};

INT_PTR CALLBACK PinDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        PinDialogState *state = reinterpret_cast<PinDialogState *>(lParam);
        SetWindowLongPtrA(dialog, DWLP_USER, lParam);
        SetDlgItemTextA(dialog, kTriesTextId, state->texts->TriesText);
        SetDlgItemTextA(dialog, kVersionTextId, state->texts->VersionLabel);
        UpdateWindow(dialog);
        SetForegroundWindow(dialog);
        SetFocus(GetDlgItem(dialog, kPinEditId));
        return FALSE;
    }
    if (message != WM_COMMAND)
        return FALSE;
    PinDialogState *state = reinterpret_cast<PinDialogState *>(GetWindowLongPtrA(dialog, DWLP_USER));
    switch (LOWORD(wParam)) {
    case IDOK:
        GetDlgItemTextA(dialog, kPinEditId, state->typed, sizeof state->typed);
        if (IsFourDigitPin(state->typed)) {
            EndDialog(dialog, IDOK);
        } else {
            WipeMemory(state->typed, sizeof state->typed);
            MessageBoxA(dialog, csp::prompt::PinEntryErrorText().c_str(), csp::prompt::kPinEntryErrorCaption,
                        MB_ICONERROR);
            SetDlgItemTextA(dialog, kPinEditId, "");
            UpdateWindow(dialog);
        }
        return TRUE;
    case IDCANCEL:
        EndDialog(dialog, IDCANCEL);
        return TRUE;
    default:
        return TRUE;
    }
}

} // namespace

INT_PTR ShowPinDialog(const PinPromptTexts &texts, char (&pin)[kPinDigits + 1])
{
    PinDialogState state = {&texts, {}};
    INT_PTR result = DialogBoxParamA(g_hModule, MAKEINTRESOURCEA(kPinDialogId), nullptr, PinDialogProc,
                                     reinterpret_cast<LPARAM>(&state));
    WipeMemory(pin, sizeof pin);
    if (result == IDOK && IsFourDigitPin(state.typed))
        std::memcpy(pin, state.typed, kPinDigits);
    else if (result == IDOK)
        result = IDCANCEL;
    WipeMemory(state.typed, sizeof state.typed);
    return result;
}
