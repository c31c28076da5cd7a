// SPDX-License-Identifier: MIT
// SPDX-FileCopyrightText: 2026 lanbeacon developers
// What reaches the wide-area code from outside the process: a key file, the resolver
// configuration, an answer to a browse's question, a server's answers over TCP. The first
// byte picks which, 'K', 'R', 'B' or anything else; the rest is the input.

#include "unicast/dnsmessage_p.h"

#include <QTemporaryFile>

using namespace QZeroConfInternal::Unicast;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray input(reinterpret_cast<const char *>(data) + 1, int(size - 1));
    if (data[0] == 'K') {
        // ldns 1.8.3 cannot sign with these and leaks when asked (see tests/unicast/lsan.supp).
        if (input.toLower().contains("sha224") || input.toLower().contains("sha384"))
            return 0;
        static QTemporaryFile file;
        if (!file.isOpen() && !file.open())
            abort();
        file.resize(0);
        file.seek(0);
        file.write(input);
        file.flush();
        TsigKey key;
        bool othersMayRead = false;
        readTsigKeyFile(file.fileName(), &key, &othersMayRead);
    } else if (data[0] == 'R') {
        canonicalResolverConfig(parseResolvConf(input));
    } else if (data[0] == 'B') {
        // Read as the browse reads it: records, names for people, the negative TTL.
        static const Outgoing query = [] {
            QString why;
            return buildQuery("_ipp._tcp.example.test.", 12, &why); // PTR
        }();
        Answer answer;
        QString why;
        if (parseAnswer(query.wire.left(2) + input.mid(2), query, TsigKey(), &answer, &why)) {
            answer.negativeTtl(60);
            for (const Record &r : qAsConst(answer.answer))
                readableName(r.rdata.value(0)).size();
        }
    } else {
        // A signed update, so that the answers' signatures are checked too.
        static TsigKey key;
        static const Outgoing request = [] {
            parseTsigKey("key \"k\" { algorithm hmac-sha256; secret \"c2VjcmV0\"; };", &key);
            Registration r;
            r.zone = "example.test.";
            r.typeName = "_printer._tcp.example.test.";
            r.instance = "P._printer._tcp.example.test.";
            r.target = "p.example.test.";
            QString why;
            return buildUpdate(r, UpdateKind::Claim, key, &why);
        }();
        QByteArray stream = input, message;
        while (takeFramed(&stream, &message)) {
            // Our ID, so that every message gets past the first check.
            if (message.size() >= 2)
                message.replace(0, 2, request.wire.left(2));
            Answer answer;
            QString why;
            if (classifyReply(message, request.wire) == Reply::Answer)
                parseAnswer(message, request, key, &answer, &why);
        }
    }
    return 0;
}
