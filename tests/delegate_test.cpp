#include "delegate.h"

#include <gtest/gtest.h>

#include <string>

#include "fastdelegate.h"
#include "tspacket.h"

namespace {

struct Counter {
    int hits = 0;
    unsigned last_sid = 0;
    void handle(unsigned sid, const unsigned char*) {
        ++hits;
        last_sid = sid;
    }
    void other(unsigned sid, const unsigned char*) { last_sid = sid + 1000; }
    int value() const { return hits * 10; }
};

int twice(int x) {
    return 2 * x;
}

struct Allocator {
    TsPacket packet;
    int calls = 0;
    TsPacket* alloc() {
        ++calls;
        return calls > 1 ? nullptr : &packet;
    }
};

using Handler = delegate<void(unsigned, const unsigned char*)>;

TEST(Delegate, TwoWordsNoVirtualNoAllocation) {
    static_assert(sizeof(Handler) == 2 * sizeof(void*));
    static_assert(sizeof(fastdelegate::FastDelegate0<TsPacket*>) == 2 * sizeof(void*));
    static_assert(std::is_trivially_copyable_v<Handler>);
    Handler empty;
    EXPECT_FALSE(empty);
}

TEST(Delegate, CallsTheBoundMemberOnTheBoundObject) {
    Counter a, b;
    Handler table[3] = {Handler::from_method<Counter, &Counter::handle>(&a),
                        Handler::from_method<Counter, &Counter::handle>(&b),
                        Handler::from_method<Counter, &Counter::other>(&a)};
    table[0](5, nullptr);
    table[1](6, nullptr);
    table[1](7, nullptr);
    EXPECT_EQ(a.hits, 1);
    EXPECT_EQ(a.last_sid, 5u);
    EXPECT_EQ(b.hits, 2);
    EXPECT_EQ(b.last_sid, 7u);
    table[2](1, nullptr);
    EXPECT_EQ(a.last_sid, 1001u);
    EXPECT_EQ(a.hits, 1);

    // Rebinding a slot is a plain copy.
    table[0] = table[1];
    table[0](9, nullptr);
    EXPECT_EQ(b.last_sid, 9u);
    EXPECT_EQ(table[0], table[1]);
    EXPECT_NE(table[1], table[2]);
}

TEST(Delegate, ConstMembersAndFreeFunctions) {
    Counter c;
    c.hits = 4;
    auto v = delegate<int()>::from_const_method<Counter, &Counter::value>(&c);
    EXPECT_EQ(v(), 40);
    auto f = delegate<int(int)>::from_function<&twice>();
    EXPECT_EQ(f(21), 42);
}

TEST(FastDelegate, AllocatorForm) {
    Allocator source;
    fastdelegate::FastDelegate0<TsPacket*> allocate = fastdelegate::MakeDelegate<&Allocator::alloc>(&source);
    EXPECT_EQ(allocate(), &source.packet);
    EXPECT_EQ(allocate(), nullptr);
    EXPECT_EQ(source.calls, 2);
}

}  // namespace
