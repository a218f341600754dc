#include <gtest/gtest.h>

#include <cstring>

#include "AgentWire/AgentWire.hpp"
#include "AgentWire/LineBuffer.hpp"

using AgentWire::LineBuffer;

namespace {

// The lines as texts, or nothing for LineTooLong.
std::optional<std::vector<std::string>> feed(LineBuffer& buffer, std::string_view bytes) {
    auto result = buffer.append(bytes);
    auto* lines = std::get_if<LineBuffer::Lines>(&result);
    if (!lines) return std::nullopt;
    std::vector<std::string> texts;
    for (const auto& line : *lines) texts.push_back(line.str());
    return texts;
}

using Texts = std::vector<std::string>;

}  // namespace

TEST(LineBuffer, LimitCountsBytesWithoutTheLineFeedAndSkipsEmptyLines) {
    const std::pair<std::string, std::optional<Texts>> cases[] = {
        {"abcd\n\n\nb", Texts{"abcd"}}, {"abcde\n", std::nullopt}, {"ab\nabcde\ncd\n", std::nullopt},
        {"abcde", std::nullopt},  // already over the limit without a line feed
        {"abcd", Texts{}},        // exactly the limit, still waiting
        {"a\r\n", Texts{"a\r"}},  // a carriage return is an ordinary byte
    };
    for (const auto& [bytes, lines] : cases) {
        LineBuffer buffer(4);
        EXPECT_EQ(feed(buffer, bytes), lines) << bytes;
    }
    LineBuffer buffer(10);
    EXPECT_EQ(feed(buffer, "12345"), Texts{});
    EXPECT_EQ(feed(buffer, "67890"), Texts{});
    EXPECT_EQ(feed(buffer, "1"), std::nullopt);  // over the limit across chunks
}

TEST(LineBuffer, FramesSplitAndMergedChunksThroughAppendAndPrepare) {
    LineBuffer buffer(100);
    EXPECT_EQ(feed(buffer, "one\ntwo\nthr"), (Texts{"one", "two"}));
    EXPECT_EQ(feed(buffer, "e"), Texts{});
    EXPECT_EQ(feed(buffer, "e\nfour"), Texts{"three"});
    Texts seen;
    for (const std::string chunk : {"\n{\"b\"", ":2}\n", "\n{\"c\":3}\n"}) {
        std::memcpy(buffer.prepare(chunk.size() + 50), chunk.data(), chunk.size());
        auto result = buffer.commit(chunk.size());
        ASSERT_TRUE(std::holds_alternative<LineBuffer::Lines>(result));
        for (const auto& line : std::get<LineBuffer::Lines>(result)) seen.push_back(line.str());
    }
    EXPECT_EQ(seen, (Texts{"four", "{\"b\":2}", "{\"c\":3}"}));
    EXPECT_EQ(buffer.pendingSize(), 0u);
}

TEST(LineBuffer, LongLinesArriveWholeWithWhatFollowsKept) {
    // Over the heap's share of storage: the buffer, and the lines handed over or copied out
    // of it, live in mappings of their own.
    std::string big(300'000, 'x');
    for (size_t i = 0; i < big.size(); i += 7) big[i] = static_cast<char>('a' + i % 26);
    std::string stream = big + "\nnext\n" + big + "\npartial";
    for (size_t chunk : {size_t(65536), stream.size()}) {
        LineBuffer buffer(big.size());
        Texts seen;
        for (size_t at = 0; at < stream.size(); at += chunk) {
            auto lines = feed(buffer, std::string_view(stream).substr(at, chunk));
            ASSERT_TRUE(lines);
            seen.insert(seen.end(), lines->begin(), lines->end());
        }
        EXPECT_TRUE(seen == (Texts{big, "next", big})) << chunk;
        EXPECT_EQ(feed(buffer, "\n"), Texts{"partial"});
    }
}

TEST(LineBuffer, TheWireLimitAcceptsFortyEightMebibytesAndNotOneByteMore) {
    std::string bytes = "ok\n" + std::string(48u << 20, 'r') + "\n";
    const std::string_view line = std::string_view(bytes).substr(3, 48u << 20);
    LineBuffer buffer(AgentWire::maxResultBytes);
    auto result = buffer.append(std::string_view(bytes).substr(3));
    auto* lines = std::get_if<LineBuffer::Lines>(&result);
    ASSERT_TRUE(lines && lines->size() == 1u);
    EXPECT_TRUE(lines->front() == line);
    bytes[bytes.size() - 1] = 'r';
    EXPECT_TRUE(std::holds_alternative<LineBuffer::LineTooLong>(buffer.append(bytes)));
}
