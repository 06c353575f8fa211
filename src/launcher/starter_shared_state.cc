#include "launcher/starter_shared_state.h"

StarterSharedState* StarterSharedState::starter = nullptr;

void StarterSharedState::DrawMessage(const wchar_t* /*message*/) {}
