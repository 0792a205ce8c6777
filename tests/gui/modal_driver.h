// Driving widgets in the window tests: modal boxes from a timer, the slider, what a label shows,
// the leak check.
#pragma once

#include <QtWidgets>

#include <deque>
#include <functional>
#include <utility>

// Acts on modal widgets as they come up, from the running event loop, in the order the steps
// were queued; a step waits until the active modal widget is of its type. While a step serves
// events itself (a denoising run does), nothing else is done. A modal widget that no step
// expects is closed after a second and recorded, so that a test fails instead of hanging.
class ModalDriver : public QObject
{
public:
    ModalDriver()
    {
        connect(&timer_, &QTimer::timeout, this, [this] { poll(); });
        timer_.start(10);
    }

    template<typename T>
    void expect(std::function<void(T *)> step)
    {
        steps_.emplace_back(
            &T::staticMetaObject, [step](QWidget *w) { step(static_cast<T *>(w)); });
    }

    // Records the box's title and text, then clicks its OK button.
    void acceptBox(QString *title, QString *text)
    {
        expect<QMessageBox>([title, text](QMessageBox *box) {
            *title = box->windowTitle();
            *text = box->text();
            box->button(QMessageBox::Ok)->click();
        });
    }

    // Empty when every step has run and nothing else came up.
    QString problems() const
    {
        return unexpected_ + (steps_.empty() ? "" : QString("%1 steps left").arg(steps_.size()));
    }

private:
    void poll()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (busy_ || !modal || !modal->isVisible())
            return;
        if (!steps_.empty() && modal->metaObject()->inherits(steps_.front().first)) {
            const auto step = steps_.front().second;
            steps_.pop_front();
            stuck_ = 0;
            busy_ = true;
            step(modal);
            busy_ = false;
        } else if (++stuck_ == 100) {
            stuck_ = 0;
            const auto *box = qobject_cast<QMessageBox *>(modal);
            unexpected_
                += modal->metaObject()->className() + (box ? ": " + box->text() : "") + "; ";
            modal->close();
        }
    }

    QTimer timer_;
    std::deque<std::pair<const QMetaObject *, std::function<void(QWidget *)>>> steps_;
    QString unexpected_;
    int stuck_ = 0;
    bool busy_ = false;
};

// Chooses the file in a running (non-native) file dialog and accepts it. selectFile() leaves
// the name field alone while it has the focus, so the name is typed in as well.
inline void acceptFile(QFileDialog *dialog, const QString &path)
{
    dialog->selectFile(path);
    dialog->findChild<QLineEdit *>("fileNameEdit")->setText(path);
    static_cast<QDialog *>(dialog)->accept();
}

// What a release of the slider at `value` does, without the mouse.
inline void releaseAt(QSlider *slider, int value)
{
    slider->setSliderDown(true);
    slider->setValue(value);
    slider->setSliderDown(false);
}

// The image that the label in the widget's scroll area shows, as RGB32.
inline QImage shownImage(const QWidget *widget)
{
    const auto *label = qobject_cast<QLabel *>(widget->findChild<QScrollArea *>()->widget());
    return label->pixmap(Qt::ReturnByValue).toImage().convertToFormat(QImage::Format_RGB32);
}

// Top-level widgets still alive, leaving out the desktop widget that Qt keeps for itself.
inline QStringList leakedTopLevelWidgets()
{
    QStringList names;
    for (const QWidget *widget : QApplication::topLevelWidgets())
        if (widget->windowType() != Qt::Desktop)
            names.append(widget->metaObject()->className());
    return names;
}
