#pragma once

#include <QByteArray>

#include <functional>
#include <random>
#include <vector>

namespace xmpptest {

// Carries a byte stream over a real TCP connection on 127.0.0.1 and hands the receiving side's bytes
// to a consumer exactly at the sender's cut points: a writer thread sends each piece (TCP_NODELAY) and
// the receiving side reads each piece whole, so every run sees the same chunks whatever the kernel
// does with segments. The piece lengths travel beside the connection, not on it: the connection
// carries the stream's bytes alone. The receiving side is the only place that would change to read
// through the project's TCP socket (a readDataToLength per piece).
class LoopbackFeed final
{
public:
    // Answers the next piece to send; an empty piece ends the stream.
    using Source = std::function<QByteArray()>;
    // Takes one received piece; answers false to stop (the connection is then closed).
    using Consumer = std::function<bool(const QByteArray &)>;

    // Sends every piece of the source and hands each to the consumer on the calling thread. Answers
    // false when the connection could not be made or broke before the source ended (a consumer that
    // stopped is no failure).
    static bool carry(const Source &source, const Consumer &consumer);
    // The stream cut at the points.
    static bool carry(const QByteArray &stream, const std::vector<qsizetype> &cuts, const Consumer &consumer);

    // Up to pieces - 1 distinct random cut points inside the stream, in order.
    static std::vector<qsizetype> randomCuts(qsizetype size, int pieces, std::mt19937 &random);
    // A cut after every byte.
    static std::vector<qsizetype> everyByte(qsizetype size);
};

} // namespace xmpptest
