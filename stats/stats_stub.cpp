// Placeholder until the statistics subsystem lands.
#include "stats/bert_stats.h"

BertStats g_BertStats{};
