// Placeholder until the pattern subsystem lands; replaced by its sources.
#include "pattern/pattern.h"

PatternSelection g_PatternSelection;
void SelectPattern(uint32_t) {}
void SelectFoxTable(uint32_t) {}
int ReadPatternFile(FILE*, uint8_t**, uint32_t*, bool) { return -1; }
void SetUserPattern(const uint8_t*, uint32_t) {}
