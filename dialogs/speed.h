// The keyer settings window ("Winkey  Settings"): speeds, timing, spacing,
// keyer mode and pin 5 use. It edits the shared record and the store only;
// the chip is re-initialised by the main window when it is asked to.
#pragma once

#include <QWidget>

#include <functional>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class SettingsStore;

class Speed : public QWidget
{
    Q_OBJECT

public:
    // Writes one key to the store; returns false when it could not be written.
    using StoreWriter = std::function<bool(const QString &section, const QString &key,
                                           const QString &value)>;
    // Tells the operator why Update was refused (a warning with an OK button).
    using Warner = std::function<void(QWidget *parent, const QString &title, const QString &text)>;

    explicit Speed(SettingsStore &store, QWidget *parent = nullptr);

    // Every store write of Update goes through this; the default writes to the store.
    void setStoreWriter(StoreWriter writer);
    // The default shows a QMessageBox; tests put their own in its place.
    void setWarner(Warner warner);

signals:
    // Update has stored the settings: the chip must be initialised again.
    // Emitted once, with the window disabled; it may run nested event loops.
    void reinitRequested();

private:
    void buildUi();
    void loadFromRecord();
    void connectSignals();

    void updateClicked();
    // The first rule the boxes break, with the box to put right; nullptr when none.
    QLineEdit *firstInvalidBox(QString *message) const;
    bool save(const QString &section, const QString &key, const QString &value);

    SettingsStore &m_store;
    StoreWriter m_storeWriter;
    Warner m_warner;

    QGroupBox *m_frame1 = nullptr;
    QGroupBox *m_speedFrame = nullptr;
    QGroupBox *m_timingFrame = nullptr;
    QGroupBox *m_spacingFrame = nullptr;
    QGroupBox *m_modeFrame = nullptr;
    QGroupBox *m_pin5Frame = nullptr;

    QLineEdit *m_minSpeed = nullptr;
    QLineEdit *m_maxSpeed = nullptr;
    QLineEdit *m_farnsworth = nullptr;
    QCheckBox *m_potCheck = nullptr;
    QLineEdit *m_lead = nullptr;
    QLineEdit *m_tail = nullptr;
    QLineEdit *m_extension = nullptr;
    QLineEdit *m_weight = nullptr;
    QLineEdit *m_ratio = nullptr;
    QLineEdit *m_compensation = nullptr;
    QLineEdit *m_setPoint = nullptr;
    QCheckBox *m_autoCheck = nullptr;
    QCheckBox *m_ctCheck = nullptr;
    QComboBox *m_modeCombo = nullptr;
    QCheckBox *m_paddleCheck = nullptr;
    QComboBox *m_pin5Combo = nullptr;
    QComboBox *m_toneCombo = nullptr;
    QPushButton *m_updateButton = nullptr;
    QPushButton *m_cancelButton = nullptr;
};
