#include "orm/nodetree.h"

#include <gtest/gtest.h>

#include <memory>

#include "orm/attributenames.h"

namespace {

TEST(NodeTree, AppendLinksParentAndChildWithoutKeepingTheParentAlive) {
    NodeTree tree;
    auto stream = tree.append(NODE_STREAM, nullptr);
    auto service = tree.append(NODE_SERVICE, stream);
    auto es = tree.append(NODE_ELEMENTARY_STREAM, service);
    ASSERT_EQ(tree.nodes.size(), 3u);
    EXPECT_EQ(tree.nodes[0], stream);
    EXPECT_EQ(tree.nodes[2], es);
    EXPECT_EQ(service->parent.lock(), stream);
    ASSERT_EQ(stream->children.size(), 1u);
    EXPECT_EQ(stream->children[0], service);
    EXPECT_FALSE(stream->parent.lock());

    std::weak_ptr<Node> weak_stream = stream;
    stream.reset();
    tree.nodes.erase(tree.nodes.begin());
    EXPECT_TRUE(weak_stream.expired());
    EXPECT_FALSE(service->parent.lock());
}

TEST(NodeTree, FindFirstByKindAndByAttribute) {
    NodeTree tree;
    EXPECT_EQ(tree.findFirst(NODE_SERVICE), nullptr);
    auto stream = tree.append(NODE_STREAM, nullptr);
    auto text_id = tree.append(NODE_SERVICE, stream);
    text_id->setAttribute(SERVICE_ID, std::string("17"));
    auto int_id = tree.append(NODE_SERVICE, stream);
    int_id->setAttribute(SERVICE_ID, 17);
    auto later = tree.append(NODE_SERVICE, stream);
    later->setAttribute(SERVICE_ID, 17);

    EXPECT_EQ(tree.findFirst(NODE_SERVICE), text_id);
    EXPECT_EQ(tree.findFirst(NODE_SERVICE, SERVICE_ID, AttributeValue(17)), int_id);
    EXPECT_EQ(tree.findFirst(NODE_SERVICE, SERVICE_ID, AttributeValue("17")), text_id);
    EXPECT_EQ(tree.findFirst(NODE_SERVICE, SERVICE_ID, AttributeValue(18)), nullptr);
    EXPECT_EQ(tree.findFirst(NODE_STREAM, SERVICE_ID, AttributeValue(17)), nullptr);
}

TEST(NodeTree, ResetVisitedClearsEveryMark) {
    NodeTree tree;
    auto a = tree.append(NODE_STREAM, nullptr);
    auto b = tree.append(NODE_SERVICE, a);
    a->visited = b->visited = true;
    tree.resetVisited();
    EXPECT_FALSE(a->visited);
    EXPECT_FALSE(b->visited);
}

}  // namespace
