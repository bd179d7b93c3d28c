#include "app/keyrepeat.h"

#include <xcb/xcb.h>

void KeyRepeatFilter::keyEvent(bool press, quint32 keyCode, quint32 serverTime)
{
    if (!press) {
        m_releasedAt[keyCode] = serverTime;
        return;
    }
    const auto released = m_releasedAt.constFind(keyCode);
    m_repeated[keyCode] = released != m_releasedAt.cend() && *released == serverTime;
}

bool KeyRepeatFilter::nativeEventFilter(const QByteArray &eventType, void *message, qintptr *)
{
    if (eventType != "xcb_generic_event_t")
        return false;
    const auto *event = static_cast<const xcb_generic_event_t *>(message);
    const int type = event->response_type & ~0x80;
    if (type == XCB_KEY_PRESS || type == XCB_KEY_RELEASE) {
        const auto *key = static_cast<const xcb_key_press_event_t *>(message);
        keyEvent(type == XCB_KEY_PRESS, key->detail, key->time);
    }
    return false; // Qt handles the event as usual
}
