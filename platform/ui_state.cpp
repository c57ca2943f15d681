// The process-wide interface state, shared by both layers.
#include "platform/ui.h"

UiWindow g_dialog = nullptr;
int32_t g_cancelRequested = 0;
int32_t g_windowClosed = 0;
char16_t g_caption[kCaptionCapacity] = {};
