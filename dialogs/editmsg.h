// The message editor: edits one of the five stored CW messages, the one that
// Zavo::EditIndex names, and writes it to the record and the store on Update.
#pragma once

#include <QWidget>

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTimer;
class SettingsStore;

class EditMsg : public QWidget
{
    Q_OBJECT

public:
    // The longest message the operator can type.
    static constexpr int kMaxLength = 32;
    // The prowords legend, as one text; the label shows it in three rows.
    static const QString kLegend;

    explicit EditMsg(SettingsStore &store, QWidget *parent = nullptr);

    // Shows the message that Zavo::EditIndex names ("1" to "5"), with its number
    // in the frame's caption. Any other index leaves the editor as it is.
    void load();

private:
    void buildUi();
    void connectSignals();

    void updateClicked();
    void inputRefused();
    // Lets a message loaded longer than the limit shrink back to it, never grow.
    void relaxLimit(const QString &text);

    SettingsStore &m_store;
    // The message as loaded: characters it already holds are never refused.
    QString m_loadedText;

    QGroupBox *m_frame = nullptr;
    QLineEdit *m_text = nullptr;
    QPushButton *m_updateButton = nullptr;
    QLabel *m_prowordsLabel = nullptr;
    QLabel *m_legendLabel = nullptr;
    QLabel *m_reason = nullptr;
    QTimer *m_reasonTimer = nullptr;
};
