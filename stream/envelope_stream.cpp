#include "stream/envelope_stream.h"

#include <array>
#include <span>

namespace zv {

namespace {

// The Base64 of "Salted__", first 60 bits: every envelope begins with it.
constexpr QByteArrayView kHeader = "U2FsdGVkX1";
constexpr qsizetype kHeaderBytes = 16;  // "Salted__" and the 8-byte salt

// The value of each Base64 character, -1 for every other one.
constexpr std::array<signed char, 256> kSextets = [] {
    std::array<signed char, 256> table{};
    table.fill(-1);
    constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) table[static_cast<unsigned char>(alphabet[i])] = char(i);
    return table;
}();

int sextet(char c) {
    return kSextets[static_cast<unsigned char>(c)];
}

// What `openssl enc -a` puts between its lines, and blanks.
bool isBlank(char c) {
    return c == '\n' || c == '\r' || c == ' ' || c == '\t';
}

// The length of the longest end of `text` that is a header's start, at
// least `shortest` and shorter than a whole header; 0 when there is none.
qsizetype headerStartAtEnd(QByteArrayView text, qsizetype shortest) {
    for (qsizetype n = qMin(text.size(), kHeader.size() - 1); n >= shortest; --n)
        if (text.last(n) == kHeader.first(n)) return n;
    return 0;
}

ByteView bytesOf(QByteArrayView bytes) {
    return {reinterpret_cast<const std::uint8_t*>(bytes.data()), size_t(bytes.size())};
}

}  // namespace

EnvelopeStream::EnvelopeStream(Derive derive) : derive_(std::move(derive)) {}

EnvelopeStream::~EnvelopeStream() {
    for (Unit& u : units_)
        if (u.key) u.key->cancel.store(true);
}

void EnvelopeStream::append(QByteArrayView received, const QByteArray& passPhrase) {
    if (held_.isEmpty()) {
        scan(received, passPhrase, false);
    } else {
        QByteArray work = std::exchange(held_, QByteArray());
        work += received;
        scan(work, passPhrase, false);
    }
    closeRun(passPhrase);  // text that is no envelope goes on as one run per read
    startDerivations();
}

void EnvelopeStream::finish(const QByteArray& passPhrase) {
    const QByteArray work = std::exchange(held_, QByteArray());
    scan(work, passPhrase, true);
    endEnvelope();
    closeRun(passPhrase);
    if (!held_.isEmpty()) {  // a header start, and then nothing: an envelope cut short
        held_.clear();
        pushCutShort();
    }
    startDerivations();
    finished_ = true;
}

void EnvelopeStream::startDerivations() {
    if (!starting_.empty()) derive_(std::exchange(starting_, {}));
}

// The characters of the partial quad at the end of `body` (which holds
// `sextets` Base64 characters), the rest of an envelope whose Base64 has
// quadPos_ sextets past its last whole quad.
qsizetype EnvelopeStream::partialQuad(QByteArrayView body, qsizetype sextets) const {
    qsizetype part = (quadPos_ + sextets) % 4;
    qsizetype at = body.size();
    while (part > 0 && at > 0) part -= sextet(body[--at]) >= 0;
    return body.size() - at;
}

// Reads `work` to its end; what may still wait at its end goes to held_.
void EnvelopeStream::scan(QByteArrayView work, const QByteArray& pass, bool atEnd) {
    qsizetype i = 0;
    for (;;) {
        const qsizetype header = work.indexOf(kHeader, i);
        const qsizetype end = header >= 0 ? header : work.size();
        if (!inside_) {
            qsizetype keep = end;
            // Text that is no envelope: a header's start waits for the next
            // read, or at the end is an envelope cut short.
            if (header < 0) keep -= headerStartAtEnd(work.sliced(i, end - i), 1);
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
            if (stop == work.size() && !atEnd) {  // the text ends inside the envelope
                const QByteArrayView body = work.sliced(i, stop - i);
                // A chance "U".."U2F" inside an envelope is far likelier than
                // a header cut there; cut after whole quads it needs 4 to show.
                keep -= headerStartAtEnd(body, 4);
                keep = qMin(keep, stop - partialQuad(body, sextets));
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
    held_ = work.sliced(i).toByteArray();
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
    if (header_.size() < kHeaderBytes)
        pushCutShort();
    else
        units_.back().ended = true;
    header_.clear();
}

void EnvelopeStream::pushCutShort() {
    units_.push_back({});
    units_.back().kind = Piece::CutShort;
    units_.back().ended = true;
}

void EnvelopeStream::closeRun(const QByteArray& pass) {
    if (run_.isEmpty()) return;
    const QByteArray text = std::exchange(run_, QByteArray());
    const Bytes bytes = DecodeBase64(std::string_view(text.data(), size_t(text.size())));
    if (bytes.empty()) return;  // blanks, "=" and the like: nothing to decipher
    Unit& u = push(Piece::NotEnvelope, pass, {});
    u.cipher = QByteArray(reinterpret_cast<const char*>(bytes.data()), qsizetype(bytes.size()));
    u.ended = true;
    waitingBytes_ += u.cipher.size();
}

void EnvelopeStream::feed(QByteArrayView base64, const QByteArray& pass) {
    // Each character carries 6 bits, and fewer than 8 may wait from before.
    QByteArray& bytes = decoded_;
    bytes.resize(base64.size() * 3 / 4 + 2);
    char* out = bytes.data();
    qsizetype made = 0;
    const char* c = base64.data();
    const char* const end = c + base64.size();
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

EnvelopeStream::Unit& EnvelopeStream::push(Piece::Kind kind, const QByteArray& pass,
                                           QByteArrayView salt) {
    units_.push_back({});
    Unit& u = units_.back();
    u.kind = kind;
    u.key = std::make_shared<Derivation>(bytesOf(pass), bytesOf(salt));
    starting_.push_back(u.key);
    return u;
}

bool EnvelopeStream::caughtUp() const {
    if (units_.empty()) return true;
    const Unit& last = units_.front();
    return units_.size() == 1 && !last.ended && last.cipher.isEmpty() && last.key &&
           last.key->done.load(std::memory_order_acquire);
}

QList<EnvelopeStream::Piece> EnvelopeStream::take() {
    QList<Piece> out;
    while (!units_.empty()) {
        Unit& u = units_.front();
        if (u.kind == Piece::CutShort) {
            out.append(Piece{Piece::CutShort, {}, true, true});
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
        out.append(Piece{Piece::Failed, QByteArray::fromStdString(why), !u.handedOn, true});
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
    QByteArray text;
    if (!u.cipher.isEmpty()) {
        const std::span<std::uint8_t> bytes(reinterpret_cast<std::uint8_t*>(u.cipher.data()),
                                            size_t(u.cipher.size()));
        if (!CryptChunk(*u.aes, bytes, false, false)) return fail(u.aes->ErrorText);
        if (!u.utf8.Holding() && IsAscii(bytes))  // ASCII is whole UTF-8 as it stands
            text = std::exchange(u.cipher, QByteArray());
        else
            text = QByteArray::fromStdString(u.utf8.Decode(bytes));
        u.cipher.clear();
    }
    // A character its envelope ends inside of reads as the cipher reads it.
    if (u.ended) text += QByteArray::fromStdString(u.utf8.Finish());
    if (text.isEmpty() && !u.ended) return;
    out.append(Piece{u.kind, text, !u.handedOn, u.ended});  // an empty message is one too
    u.handedOn = true;
}

}  // namespace zv
