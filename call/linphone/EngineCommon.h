#pragma once
// What the call engine's parts share: the sound files that come with the call library, how a
// volume becomes a gain, and whether video can be shown at all.
#include <QGuiApplication>
#include <QString>

#include <cmath>

namespace rtc::engine {

// Where Debian puts the sounds that come with liblinphone.
inline const QString kSoundFolder = QStringLiteral("/usr/share/sounds/linphone");
// Played at the far end while a call rings, and into a call when there is no sound card.
inline const QString kRingbackFile = kSoundFolder + QStringLiteral("/ringback.wav");
inline const QString kPlayFile = kSoundFolder + QStringLiteral("/hello8000.wav");
// One ring of an old telephone: what PlayRing plays for an incoming call.
inline const QString kRingFile = kSoundFolder + QStringLiteral("/rings/oldphone-mono.wav");

constexpr long kUnityVolume = 32768; // the volume at which the gain is 0 dB

inline float volumeToGainDb(long volume) {
    if (volume <= 0) return -100.0f;
    return static_cast<float>(20.0 * std::log10(double(volume) / double(kUnityVolume)));
}

// Video is shown only on an X display; the offscreen platform has nobody to show it to.
inline bool platformShowsVideo() {
    return QGuiApplication::platformName() == QStringLiteral("xcb");
}

} // namespace rtc::engine
