// The About box: the program's name, version, maker and web address.
#pragma once

#include <QDialog>

class QLabel;
class QPushButton;

class frmAbout : public QDialog
{
    Q_OBJECT

public:
    // Where the maker publishes the program.
    static constexpr char kWebAddress[] = "https://zavokeyer.example.org";

    explicit frmAbout(QWidget *parent = nullptr);

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    void buildUi();
    void connectSignals();

    QPushButton *m_okButton = nullptr;
    QLabel *m_icon = nullptr;
    QLabel *m_description = nullptr;
    QLabel *m_title = nullptr;
    QLabel *m_version = nullptr;
};
