// The texts the calling thread's next PIN prompt shows.
#include "pin_prompts.h"

PinPromptTexts &CurrentPromptTexts()
{
    thread_local PinPromptTexts texts = {};
    return texts;
}
