#include "orm/node.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <typeinfo>

#include "orm/attributenames.h"
#include "orm/nodetree.h"

namespace {

TEST(Node, InitialValues) {
    Node n(NODE_SERVICE);
    EXPECT_FALSE(n.visited);
    EXPECT_EQ(n.database_id, -1);
    EXPECT_EQ(n.node_type, NODE_SERVICE);
    EXPECT_EQ(n.config_id, -1);
    EXPECT_EQ(n.parent_id, -1);
    EXPECT_TRUE(n.attributes.empty());
    EXPECT_FALSE(n.parent.lock());
    Node row(NODE_STREAM, 7, 3, 2);
    EXPECT_EQ(row.database_id, 7);
    EXPECT_EQ(row.config_id, 3);
    EXPECT_EQ(row.parent_id, 2);
}

TEST(Node, SettingAnEqualValueKeepsTheStoredFlag) {
    Node n(NODE_STREAM);
    n.setAttribute(BITRATE, 100);
    EXPECT_FALSE(n.attributes.at(BITRATE).stored);
    n.attributes.at(BITRATE).stored = true;
    n.setAttribute(BITRATE, 100);
    EXPECT_TRUE(n.attributes.at(BITRATE).stored);
    n.setAttribute(BITRATE, 101);
    EXPECT_FALSE(n.attributes.at(BITRATE).stored);
    EXPECT_EQ(n.attributes.at(BITRATE).get<int>(), 101);

    n.setAttribute(SERVICE_NAME, std::string("One"));
    n.attributes.at(SERVICE_NAME).stored = true;
    n.setAttribute(SERVICE_NAME, std::string("One"));
    EXPECT_TRUE(n.attributes.at(SERVICE_NAME).stored);
    n.setAttribute(SERVICE_NAME, std::string("Two"));
    EXPECT_FALSE(n.attributes.at(SERVICE_NAME).stored);
}

TEST(Node, TypedSetterRefusesTheOtherKindButTheValueSetterReplacesIt) {
    Node n(NODE_SERVICE);
    n.setAttribute(SERVICE_NAME, std::string("News"));
    EXPECT_THROW(n.setAttribute(SERVICE_NAME, 5), std::bad_cast);
    EXPECT_EQ(n.attributes.at(SERVICE_NAME).get<std::string>(), "News");

    n.attributes.at(SERVICE_NAME).stored = true;
    n.setAttribute(SERVICE_NAME, AttributeValue(5));
    EXPECT_EQ(n.attributes.at(SERVICE_NAME).get<int>(), 5);
    EXPECT_FALSE(n.attributes.at(SERVICE_NAME).stored);

    // An absent name takes the value with its flag; an equal value changes nothing.
    AttributeValue stored_value(9);
    stored_value.stored = true;
    n.setAttribute(SERVICE_ID, stored_value);
    EXPECT_TRUE(n.attributes.at(SERVICE_ID).stored);
    AttributeValue same(9);
    n.setAttribute(SERVICE_ID, same);
    EXPECT_TRUE(n.attributes.at(SERVICE_ID).stored);
}

TEST(Node, EqualityComparesRowAndAttributesOnly) {
    Node a(NODE_STREAM, 4, 1, 1), b(NODE_SERVICE, 4, 2, 3);
    a.setAttribute(MCAST_PORT, 1234);
    b.setAttribute(MCAST_PORT, 1234);
    b.visited = true;
    EXPECT_TRUE(a == b);
    b.setAttribute(IFNAME, std::string("eth1"));
    EXPECT_FALSE(a == b);
    Node c(NODE_STREAM, 5, 1, 1);
    c.setAttribute(MCAST_PORT, 1234);
    EXPECT_FALSE(a == c);
    Node d(NODE_STREAM, 4, 1, 1);
    d.setAttribute(MCAST_PORT, std::string("1234"));
    EXPECT_FALSE(a == d);
}

TEST(Node, FancyDumpOfAStreamWithOneService) {
    NodeTree tree;
    auto stream = tree.append(NODE_STREAM, nullptr);
    auto service = tree.append(NODE_SERVICE, stream);
    service->setAttribute(SERVICE_ID, 5);
    EXPECT_EQ(stream->toFancyString(0), "stream\n|\n+- service\n    +-service_id: 5\n");

    std::ostringstream os;
    os << *stream;
    EXPECT_EQ(os.str(), stream->toFancyString(0));

    // Texts are quoted; a deeper level repeats the padding around the bar.
    auto es = tree.append(NODE_ELEMENTARY_STREAM, service);
    es->setAttribute(NODE_NAME, std::string("256 MPEG-2 Video"));
    EXPECT_EQ(service->toFancyString(4),
              "service\n    +-service_id: 5\n    |    \n    +- elementary_stream\n"
              "        +-node_name: \"256 MPEG-2 Video\"\n");
    Node iface(NODE_INTERFACE);
    EXPECT_EQ(iface.toFancyString(0), "");
}

TEST(Node, BrutalStringFollowsParentsToTheRoot) {
    NodeTree tree;
    auto stream = tree.append(NODE_STREAM, nullptr);
    stream->database_id = 10;
    auto service = tree.append(NODE_SERVICE, stream);
    service->database_id = 11;
    service->parent_id = 10;
    EXPECT_EQ(stream->toBrutalString(),
              "{database_id=10, node_type=0, config_id=-1, parent_id=-1, parent=no}");
    EXPECT_EQ(
        service->toBrutalString(),
        "{database_id=11, node_type=1, config_id=-1, parent_id=10, parent={database_id=10, node_type=0, "
        "config_id=-1, parent_id=-1, parent=no}}");
}

TEST(Node, CopySharesChildrenAndParent) {
    NodeTree tree;
    auto stream = tree.append(NODE_STREAM, nullptr);
    auto service = tree.append(NODE_SERVICE, stream);
    Node copy = *service;
    EXPECT_EQ(copy.parent.lock(), stream);
    Node stream_copy = *stream;
    ASSERT_EQ(stream_copy.children.size(), 1u);
    EXPECT_EQ(stream_copy.children[0], service);
}

}  // namespace
