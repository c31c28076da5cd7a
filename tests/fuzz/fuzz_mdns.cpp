// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
// What reaches the mDNS engine from the network: one packet, through the codec, the
// responder and the querier (a browse and a resolve run), on a fake clock and
// transport. The first byte picks the moment (bits 0-1: waiting, probing, announcing,
// established), the source port (bit 2: legacy unicast) and the IP version (bit 3);
// the packet then comes again 300 ms later.

#include "mdns/core_p.h"
#include "mdns/fakeseam_p.h"

#include <cstdlib>

using namespace QZeroConfInternal;
using namespace QZeroConfInternal::Mdns;

// What parses must write back and read the same.
static void roundTrip(const QByteArray &packet)
{
    Message m, again;
    if (!parseMessage(packet, &m))
        return;
    MessageWriter w(m.id, m.flags, 1 << 16);
    bool written = true;
    for (const Question &q : m.questions)
        written = written && w.add(q);
    const QVector<Record> *sections[] = {&m.answers, &m.authorities, &m.additionals};
    for (int s = 0; s < 3; ++s) {
        for (const Record &r : *sections[s])
            written = written && w.add(Section(s + 1), r);
    }
    if (!written || !parseMessage(w.message(), &again) ||
        again.answers.size() != m.answers.size() || again.questions.size() != m.questions.size())
        abort();
    for (int i = 0; i < m.answers.size(); ++i) {
        if (!again.answers[i].sameData(m.answers[i]))
            abort();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray packet(reinterpret_cast<const char *>(data) + 1, int(size - 1));
    roundTrip(packet);

    const QByteArray type = nameFromDotted("_ipp._tcp.local");
    const QByteArray instance = prependLabel("Office", type);
    const QByteArray host = nameFromDotted("printer.local");
    const QHostAddress v4(QStringLiteral("10.0.0.5")), v6(QStringLiteral("fe80::5"));
    FakeClock clock;
    FakeTransport transport(clock);
    Core core(clock, transport, 1);
    core.setLinks({Link{1, {LinkAddress{v4, 24}, LinkAddress{v6, 64}}}});
    const Core::GroupId group = core.newGroup([](GroupState, const QString &) {});
    core.addService(group, 1, instance, type, host, 631, TxtRecord::fromStrings({"rp=print"}));
    core.addSubtype(group, 1, instance, type, "_color");
    core.addAddress(group, 1, AnyProtocol, host, v4, true);
    core.addAddress(group, 1, AnyProtocol, host, v6, true);
    core.commit(group);
    core.browse(type, AnyProtocol, [](BrowseEvent, int, bool, const QByteArray &) {});
    core.resolve(1, AnyProtocol, instance, AnyProtocol, [](bool, const Querier::Resolution &) {});
    static const int moments[] = {0, 400, 1500, 6000};
    clock.advance(moments[data[0] & 3]);
    const bool ipv6 = data[0] & 8;
    const QHostAddress source(ipv6 ? QStringLiteral("fe80::9") : QStringLiteral("10.0.0.9"));
    const quint16 port = (data[0] & 4) ? 40000 : MdnsPort;
    transport.deliver(packet, source, 1, port);
    clock.advance(300);
    transport.deliver(packet, source, 1, port);
    clock.advance(6000);
    return 0;
}
