// TSplashForm: the window shown while the main window is being created.
#pragma once

#include <QWidget>

class QPushButton;

namespace tessary::app {

class TSplashForm : public QWidget {
    Q_OBJECT
public:
    explicit TSplashForm(QWidget* parent = nullptr);

private slots:
    void bCloseClick();

private:
    QPushButton* bClose_;
};

// The program's logo: map tiles of three zoom levels, drawn for the size.
QPixmap DrawLogo(int size);

}  // namespace tessary::app
