#include "net/envelope_stream.h"

#include <QByteArrayView>
#include <array>
#include <span>

namespace zv {

namespace {

// The Base64 of "Salted__", first 60 bits: every envelope begins with it.
constexpr QStringView kHeader = u"U2FsdGVkX1";
constexpr qsizetype kHeaderBytes = 16;  // "Salted__" and the 8-byte salt

// The value of each Base64 character, -1 for every other one.
constexpr std::array<signed char, 256> kSextets = [] {
    std::array<signed char, 256> table{};
    table.fill(-1);
    constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(alphabet[i])] = char(i);
    return table;
}();

int sextet(QChar c) {
    return c.unicode() < 256 ? kSextets[c.unicode()] : -1;
}

// What `openssl enc -a` puts between its lines, and blanks.
bool isBlank(QChar c) {
    return c == u'\n' || c == u'\r' || c == u' ' || c == u'\t';
}

// The length of the longest end of `text` that is a header's start, at
// least `shortest` and shorter than a whole header; 0 when there is none.
qsizetype headerStartAtEnd(QStringView text, qsizetype shortest) {
    for (qsizetype n = qMin(text.size(), kHeader.size() - 1); n >= shortest; --n)
        if (text.last(n) == kHeader.first(n)) return n;
    return 0;
}

}  // namespace

EnvelopeStream::EnvelopeStream(Derive derive) : derive_(std::move(derive)) {}

EnvelopeStream::~EnvelopeStream() {
    for (Unit& u : units_)
        if (u.key) u.key->cancel.store(true);
}

void EnvelopeStream::append(QStringView received, const QString& passPhrase) {
    if (held_.isEmpty()) {
        scan(received, passPhrase, Read);
    } else {
        QString work = std::exchange(held_, QString());
        work += received;
        scan(work, passPhrase, Read);
    }
    closeRun(passPhrase);  // text that is no envelope goes on as one run per read
    startDerivations();
}

void EnvelopeStream::release(const QString& passPhrase) {
    const QString work = std::exchange(held_, QString());
    scan(work, passPhrase, Quiet);
    closeRun(passPhrase);
    startDerivations();
}

void EnvelopeStream::finish(const QString& passPhrase) {
    const QString work = std::exchange(held_, QString());
    scan(work, passPhrase, End);
    endEnvelope();
    closeRun(passPhrase);
    startDerivations();
    finished_ = true;
}

void EnvelopeStream::startDerivations() {
    if (!starting_.empty()) derive_(std::exchange(starting_, {}));
}

// The characters of the partial quad at the end of `body` (which holds
// `sextets` Base64 characters), the rest of an envelope whose Base64 has
// quadPos_ sextets past its last whole quad.
qsizetype EnvelopeStream::partialQuad(QStringView body, qsizetype sextets) const {
    qsizetype part = (quadPos_ + sextets) % 4;
    qsizetype at = body.size();
    while (part > 0 && at > 0) part -= sextet(body[--at]) >= 0;
    return body.size() - at;
}

// Reads `work` to its end; what may still wait at its end goes to held_.
void EnvelopeStream::scan(QStringView work, const QString& pass, Until until) {
    qsizetype i = 0;
    for (;;) {
        const qsizetype header = work.indexOf(kHeader, i);
        const qsizetype end = header >= 0 ? header : work.size();
        if (!inside_) {
            qsizetype keep = end;
            // Text that is no envelope: a header's start waits for the next read.
            if (header < 0 && until != End) keep -= headerStartAtEnd(work.sliced(i, end - i), 1);
            run_ += work.sliced(i, keep - i);
            i = keep;
        } else {
            qsizetype stop = i;
            qsizetype sextets = 0;
            for (; stop < end; ++stop) {
                if (sextet(work[stop]) >= 0)
                    ++sextets;
                else if (!isBlank(work[stop]))
                    break;
            }
            qsizetype keep = stop;
            if (stop == work.size()) {  // the text ends inside the envelope
                const QStringView body = work.sliced(i, stop - i);
                // A chance "U".."U2F" inside an envelope is far likelier than
                // a header cut there; cut after whole quads it needs 4 to show.
                if (until == Read) keep -= headerStartAtEnd(body, 4);
                if (until != End) keep = qMin(keep, stop - partialQuad(body, sextets));
            }
            feed(work.sliced(i, keep - i), pass);
            i = keep;
            if (stop < end) {  // "=" or any other character: the envelope ends here
                endEnvelope();
                continue;
            }
        }
        if (header < 0) break;
        endEnvelope();
        closeRun(pass);
        beginEnvelope();
        feed(kHeader, pass);
        i = header + kHeader.size();
    }
    held_ = work.sliced(i).toString();
}

void EnvelopeStream::beginEnvelope() {
    inside_ = true;
    header_.clear();
    bits_ = 0;
    bitCount_ = 0;
    quadPos_ = 0;
}

void EnvelopeStream::endEnvelope() {
    if (!inside_) return;
    inside_ = false;
    if (header_.size() < kHeaderBytes) {
        units_.push_back({});
        units_.back().kind = Piece::CutShort;
        units_.back().ended = true;
    } else {
        units_.back().ended = true;
    }
    header_.clear();
}

void EnvelopeStream::closeRun(const QString& pass) {
    if (run_.isEmpty()) return;
    const QByteArray latin1 = run_.toLatin1();
    run_.clear();
    const Bytes bytes = DecodeBase64(std::string_view(latin1.data(), size_t(latin1.size())));
    if (bytes.empty()) return;  // blanks, "=" and the like: nothing to decipher
    Unit& u = push(Piece::NotEnvelope, pass, {});
    u.cipher = QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
    u.ended = true;
    waitingBytes_ += u.cipher.size();
}

void EnvelopeStream::feed(QStringView base64, const QString& pass) {
    // Each character carries 6 bits, and fewer than 8 may wait from before.
    QByteArray& bytes = decoded_;
    bytes.resize(base64.size() * 3 / 4 + 2);
    char* out = bytes.data();
    qsizetype made = 0;
    const QChar* c = base64.data();
    const QChar* const end = c + base64.size();
    while (c != end) {
        if (quadPos_ == 0 && end - c >= 4) {  // whole quads, the usual case, at once
            const int s0 = sextet(c[0]), s1 = sextet(c[1]), s2 = sextet(c[2]), s3 = sextet(c[3]);
            if ((s0 | s1 | s2 | s3) >= 0) {
                const quint32 v =
                    quint32(s0) << 18 | quint32(s1) << 12 | quint32(s2) << 6 | quint32(s3);
                out[made++] = char(v >> 16);
                out[made++] = char(v >> 8);
                out[made++] = char(v);
                c += 4;
                continue;
            }
        }
        const int s = sextet(*c++);
        if (s < 0) continue;  // a line break or blank
        quadPos_ = (quadPos_ + 1) % 4;
        bits_ = (bits_ << 6 | quint32(s)) & 0xFFFF;
        bitCount_ += 6;
        if (bitCount_ >= 8) {
            bitCount_ -= 8;
            out[made++] = char(bits_ >> bitCount_);
        }
    }
    bytes.truncate(made);
    qsizetype at = 0;
    if (header_.size() < kHeaderBytes) {  // "Salted__" and the salt first
        at = qMin(kHeaderBytes - header_.size(), bytes.size());
        header_ += QByteArrayView(bytes).first(at);
        if (header_.size() < kHeaderBytes) return;
        push(Piece::Text, pass, QByteArrayView(header_).sliced(8));
    }
    units_.back().cipher += QByteArrayView(bytes).sliced(at);
    waitingBytes_ += bytes.size() - at;
}

EnvelopeStream::Unit& EnvelopeStream::push(Piece::Kind kind, const QString& pass,
                                           QByteArrayView salt) {
    const QByteArray passBytes = pass.toUtf8();
    units_.push_back({});
    Unit& u = units_.back();
    u.kind = kind;
    u.key = std::make_shared<Derivation>(
        ByteView(reinterpret_cast<const std::uint8_t*>(passBytes.data()), size_t(passBytes.size())),
        ByteView(reinterpret_cast<const std::uint8_t*>(salt.data()), size_t(salt.size())));
    starting_.push_back(u.key);
    return u;
}

QList<EnvelopeStream::Piece> EnvelopeStream::take() {
    QList<Piece> out;
    while (!units_.empty()) {
        Unit& u = units_.front();
        if (u.kind == Piece::CutShort) {
            out.append(Piece{Piece::CutShort, {}});
        } else {
            if (!u.key->done.load(std::memory_order_acquire)) break;
            decipher(u, out);
            if (!u.ended) break;  // the envelope goes on in later reads
        }
        units_.pop_front();
    }
    return out;
}

void EnvelopeStream::decipher(Unit& u, QList<Piece>& out) {
    waitingBytes_ -= u.cipher.size();
    auto fail = [&](const std::string& why) {
        out.append(Piece{Piece::Failed, QString::fromStdString(why)});
        u.dead = true;
        u.cipher.clear();
    };
    if (u.dead) return u.cipher.clear();
    if (!u.key->ok) return fail("PBKDF2" + StatusText(0));
    if (!u.aes) {
        u.aes = std::make_unique<CipherContext>();
        Bytes material(u.key->material.begin(), u.key->material.end());
        const WipeOnExit wipe(material);
        if (!InitCipherContext(*u.aes, {}, {}, material, 0)) return fail(u.aes->ErrorText);
    }
    std::string text;
    if (!u.cipher.isEmpty()) {
        const std::span<std::uint8_t> bytes(reinterpret_cast<std::uint8_t*>(u.cipher.data()),
                                            size_t(u.cipher.size()));
        if (!CryptChunk(*u.aes, bytes, false, false)) return fail(u.aes->ErrorText);
        text = u.utf8.Decode(bytes);
        u.cipher.clear();
    }
    // A character its envelope ends inside of reads as the cipher reads it.
    if (u.ended) text += u.utf8.Finish();
    if (text.empty() && (u.handedOn || !u.ended)) return;
    out.append(Piece{u.kind, QString::fromStdString(text)});  // an empty message is one too
    u.handedOn = true;
}

}  // namespace zv
