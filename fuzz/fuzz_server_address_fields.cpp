// RTC_Chat.kvo's text as the start-up loader judges it, without the windows around it: the file's
// bytes are unscrambled and cut into fields, and the stored server pair and identity are checked
// the way fnFillcall checks them (fuzz_server_address_file runs the whole loader, registration
// dialog included, far fewer times per second).
//   - the file's bytes unscramble to the text that was stored;
//   - a server pair taken as valid is four numbers of 0..255 and a port of 1..65534;
//   - an identity taken as valid has a numeric ID and one "@" neither first nor last in an
//     address without spaces, and comes without a reason; one refused comes with its reason.
#include "FuzzClient.h"
#include "app/basEncrypt_Decrypt.h"
#include "forms/Validators.h"
#include "platform/vb.h"
#include "wire/Codepage.h"
#include "wire/Protocol.h"
#include "wire/Scramble.h"

#include <optional>

namespace {

// The number a part stands for, as the program converts it; nothing when it is none or too big.
std::optional<qint32> number(const QString& text) {
    try {
        return vb::CLng(text);
    } catch (const vb::VbError&) {
        return std::nullopt;
    }
}

void checkServerPair(const QStringList& fields) {
    QString message;
    if (!basMain::fnCheckIpOrEmailFormat(fields, true, message)) return;
    const QStringList parts = fields.value(0).split(QLatin1Char('.'));
    fuzz::check(parts.size() == 4, "a server address without four parts taken as valid");
    for (const QString& part : parts) {
        const std::optional<qint32> value = number(part);
        fuzz::check(value && *value >= 0 && *value <= 255, "a server address part outside 0..255 taken as valid");
    }
    const std::optional<qint32> port = number(fields.value(1));
    fuzz::check(port && *port >= 1 && *port <= 65534, "a port outside 1..65534 taken as valid");
}

void checkIdentity(const QStringList& fields) {
    QString message = QStringLiteral("left over");
    const bool valid = basMain::fnCheckIpOrEmailFormat(fields, false, message);
    fuzz::check(valid == message.isEmpty(), "an identity's verdict and its reason disagree");
    if (!valid) return;
    const QString address = fields.value(3);
    fuzz::check(vb::IsNumeric(fields.value(2)), "a user ID that is no number taken as valid");
    fuzz::check(address.count(QLatin1Char('@')) == 1 && !address.startsWith(QLatin1Char('@')) &&
                    !address.endsWith(QLatin1Char('@')) && !address.contains(QLatin1Char(' ')),
                "a malformed e-mail address taken as valid");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::startCoreApp();
    fuzz::enterProgramFolder();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString plain = fuzz::text(data, size);
    // What the file holds, read back one character per byte, as fnFillcall reads it.
    QString text = wire::fromCp1252(wire::toCp1252(wire::scrambled(plain)));
    basEncrypt_Decrypt::DecryptText(text);
    fuzz::check(text == plain, "the stored text does not unscramble to itself");

    const QStringList fields = text.split(wire::kSep);
    if (fields.size() == 2 || fields.size() == 4) checkServerPair(fields);
    if (fields.size() == 4) checkIdentity(fields);
    fuzz::trimLogs();
    return 0;
}
