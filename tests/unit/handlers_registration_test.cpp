// Registering, reading back and disabling the three event handlers.
#include <cstdlib>

#include "test_support.h"

namespace {

void first_handler(unsigned char *data, int, unsigned char *) { std::free(data); }
void second_handler(unsigned char *data, int, unsigned char *) { std::free(data); }

struct HandlerKind {
    const char *name;
    int (*register_handler)(event_handler);
    void (*disable)();
    event_handler (*get)();
    const char *refused;
    const char *registered;
    const char *unregistered;
};

const HandlerKind kKinds[] = {
    {"ccode", &register_ccode_event_handler, &disable_handler_ccode, &get_handler_ccode_state,
     " ERROR in register ccode event handler ! ", "ccode_handler is registered!\n",
     "ccode_handler unregistered!\n"},
    {"err_frame", &register_err_frame_event_handler, &disable_handler_err_frame,
     &get_handler_err_frame_state, " ERROR in register err frame event handler ! ",
     "err_frame_handler is registered!\n", "err_frame_handler unregistered!\n"},
    {"status", &register_status_event_handler, &disable_handler_status, &get_handler_status_state,
     " ERROR in register status event handler ! ", "status_handler is registered!\n",
     "status_handler unregistered!\n"},
};

class HandlerRegistration : public test::LibraryTest,
                            public ::testing::WithParamInterface<HandlerKind> {};

TEST_P(HandlerRegistration, RegisterReplaceAndDisable) {
    const HandlerKind &kind = GetParam();
    EXPECT_EQ(nullptr, kind.get());
    EXPECT_EQ(0, kind.register_handler(&first_handler));
    EXPECT_EQ(kind.registered, out_);
    EXPECT_EQ(0, kind.register_handler(&second_handler));
    EXPECT_EQ(&second_handler, kind.get());

    out_.clear();
    kind.disable();
    EXPECT_EQ(nullptr, kind.get());
    EXPECT_EQ(kind.unregistered, out_);
    out_.clear();
    kind.disable();  // also when none is registered
    EXPECT_EQ(kind.unregistered, out_);
    EXPECT_EQ("", err_);
}

TEST_P(HandlerRegistration, NullIsRefusedAndTheEarlierHandlerStays) {
    const HandlerKind &kind = GetParam();
    EXPECT_EQ(-1, kind.register_handler(nullptr));
    EXPECT_EQ(kind.refused, out_);
    EXPECT_EQ(nullptr, kind.get());

    kind.register_handler(&first_handler);
    out_.clear();
    EXPECT_EQ(-1, kind.register_handler(nullptr));
    EXPECT_EQ(kind.refused, out_);
    EXPECT_EQ(&first_handler, kind.get());
}

TEST_P(HandlerRegistration, EachKindHasItsOwnHandler) {
    const HandlerKind &kind = GetParam();
    kind.register_handler(&first_handler);
    for (const HandlerKind &other : kKinds) {
        if (other.get == kind.get) continue;
        EXPECT_EQ(nullptr, other.get()) << other.name;
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, HandlerRegistration, ::testing::ValuesIn(kKinds),
                         [](const auto &info) { return std::string(info.param.name); });

}  // namespace
