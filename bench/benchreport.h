// The benchmark's findings as a Markdown table, measure by measure against
// its goal, with the machine and the Qt version it ran on.
#pragma once

#include <QList>
#include <QString>

// The latency goals every key-or-datagram-to-wire measure is held to.
inline constexpr double kGoalMedianMs = 1.0;
inline constexpr double kGoalP99Ms = 5.0;

class BenchReport
{
public:
    enum class Verdict { Met, Missed, None };

    void addRow(const QString &measure, const QString &result, const QString &goal,
                Verdict verdict = Verdict::None);
    void addNote(const QString &note) { m_notes.append(note); }
    // A failure that kept a measure from being taken at all.
    void addFailure(const QString &what) { m_failures.append(what); }
    bool failed() const { return !m_failures.isEmpty(); }

    static Verdict verdict(bool met) { return met ? Verdict::Met : Verdict::Missed; }
    // The machine: processor model, cores, load, kernel, Qt.
    static QString machine();

    QString markdown(const QString &title) const;

private:
    struct Row {
        QString measure;
        QString result;
        QString goal;
        Verdict verdict;
    };
    QList<Row> m_rows;
    QStringList m_notes;
    QStringList m_failures;
};
