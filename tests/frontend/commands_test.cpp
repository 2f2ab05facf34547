// The page's steering requests: what each becomes, and what is refused.
#include "frontend/commands.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "gui/tags.h"

namespace {

TEST(Commands, RequestsBecomeTheirMessagesAndNonsenseIsRefused) {
    struct Case {
        std::map<std::string, std::string> params;
        bool ok;
        uint32_t tag;
        std::vector<uint8_t> value;
    };
    const std::vector<Case> cases = {
        {{{"cmd", "inject"}, {"count", "3"}}, true, ZVBERT_INJECT_ERRORS, {3}},
        {{{"cmd", "inject"}, {"count", "256"}}, false, 0, {}},
        {{{"cmd", "inject"}, {"count", "-1"}}, false, 0, {}},
        {{{"cmd", "reset"}}, true, ZVBERT_RESET_STATS, {}},
        {{{"cmd", "stop"}}, true, ZVBERT_STOP, {}},
        {{{"cmd", "signal"}, {"item", "dtr"}, {"on", "1"}}, true, ZVBERT_SIGNAL_CHANGE, {1, 2}},
        {{{"cmd", "signal"}, {"item", "tiv"}, {"on", "1"}}, true, ZVBERT_SIGNAL_CHANGE, {5, 2}},
        {{{"cmd", "signal"}, {"item", "cts"}, {"on", "1"}}, false, 0, {}},  // an input
        {{{"cmd", "signal"}, {"item", "dtr"}, {"on", "2"}}, false, 0, {}},
        {{{"cmd", "poll"}, {"slave", "247"}, {"on", "1"}},
         true,
         ZVBERT_MULTIDROP_POLL_SLAVE,
         {247, 1}},
        {{{"cmd", "poll"}, {"slave", "248"}, {"on", "1"}}, false, 0, {}},
        {{{"cmd", "poll"}, {"slave", "0"}, {"on", "1"}}, false, 0, {}},
        {{{"cmd", "quit"}}, false, 0, {}},
    };
    for (const Case& c : cases) {
        auto param = [&](const char* name) {
            auto it = c.params.find(name);
            return it == c.params.end() ? std::string() : it->second;
        };
        Command command;
        std::string error;
        const std::string what =
            param("cmd") + " " + param("count") + param("item") + param("slave");
        ASSERT_EQ(ParseCommand(param, &command, &error), c.ok) << what;
        EXPECT_EQ(error.empty(), c.ok) << what;
        if (!c.ok) continue;
        EXPECT_EQ(command.uTag, c.tag) << what;
        EXPECT_EQ(command.value, c.value) << what;
    }
}

}  // namespace
