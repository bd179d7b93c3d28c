// Tells a held key's repeats from real presses on X11. Qt marks a repeat
// only when it finds the repeat's release and press together in its queue;
// on a busy machine they reach the program apart and come through as a
// real release and a new press. The X server gives both the same time
// stamp, which a real release and press never share: this filter watches
// the server's key events and remembers, per key code, whether the last
// press repeated the release before it.
#pragma once

#include <QAbstractNativeEventFilter>
#include <QHash>

class KeyRepeatFilter : public QAbstractNativeEventFilter
{
public:
    // One key event as the X server sent it.
    void keyEvent(bool press, quint32 keyCode, quint32 serverTime);
    // The last press of this key code (QKeyEvent::nativeScanCode) was a repeat.
    bool lastPressRepeated(quint32 keyCode) const { return m_repeated.value(keyCode, false); }

    bool nativeEventFilter(const QByteArray &eventType, void *message, qintptr *result) override;

private:
    QHash<quint32, quint32> m_releasedAt;
    QHash<quint32, bool> m_repeated;
};
