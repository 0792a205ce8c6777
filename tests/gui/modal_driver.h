// Driving the modal dialogs and boxes of the window tests from a timer, and the leak check.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QLineEdit>
#include <QList>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <deque>
#include <functional>

// Acts on modal dialogs and message boxes as they come up, from the running event loop, in the
// order the steps were queued. A step waits until the active modal widget is of its type. A
// modal widget that no step expects is rejected after a second and recorded, so that a test
// fails with a message instead of hanging. A step may itself serve events for a while (a
// denoising run does); meanwhile the widget it works on is left alone, while boxes that come
// up on top of it are handled as usual.
class ModalDriver : public QObject
{
public:
    ModalDriver()
    {
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, this, [this] { poll(); });
        timer_.start();
    }

    template<typename T>
    void expect(std::function<void(T *)> step)
    {
        steps_.push_back({[](QWidget *widget) { return qobject_cast<T *>(widget) != nullptr; },
            [step](QWidget *widget) { step(qobject_cast<T *>(widget)); }});
    }

    // Queues a step that records the box's title and text and clicks its OK button.
    void acceptBox(QString *title, QString *text)
    {
        expect<QMessageBox>([title, text](QMessageBox *box) {
            if (title)
                *title = box->windowTitle();
            if (text)
                *text = box->text();
            box->button(QMessageBox::Ok)->click();
        });
    }

    int pendingSteps() const { return int(steps_.size()); }
    const QStringList &unexpected() const { return unexpected_; }

private:
    void poll()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible()) {
            stuck_ = 0;
            return;
        }
        if (working_.contains(modal))
            return;
        if (!steps_.empty() && steps_.front().matches(modal)) {
            const Step step = steps_.front();
            steps_.pop_front();
            stuck_ = 0;
            working_.append(modal);
            step.run(modal);
            working_.removeOne(modal);
            return;
        }
        if (++stuck_ < 100)
            return;
        stuck_ = 0;
        QString what = QString::fromLatin1(modal->metaObject()->className());
        if (auto *box = qobject_cast<QMessageBox *>(modal))
            what += QStringLiteral(": ") + box->text();
        unexpected_.append(what);
        if (auto *dialog = qobject_cast<QDialog *>(modal))
            dialog->reject();
        else
            modal->close();
    }

    struct Step
    {
        std::function<bool(QWidget *)> matches;
        std::function<void(QWidget *)> run;
    };

    QTimer timer_;
    std::deque<Step> steps_;
    QStringList unexpected_;
    int stuck_ = 0;
    QList<QWidget *> working_;
};

// Chooses the file in a running (non-native) file dialog and accepts it. selectFile() leaves
// the name field alone while it has the focus, so the name is typed in as well.
inline void acceptFile(QFileDialog *dialog, const QString &path)
{
    dialog->selectFile(path);
    if (auto *edit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
        edit->setText(path);
    static_cast<QDialog *>(dialog)->accept();
}

// Top-level widgets still alive, leaving out the desktop widget that Qt keeps for itself.
inline QStringList leakedTopLevelWidgets()
{
    QStringList names;
    const QWidgetList widgets = QApplication::topLevelWidgets();
    for (const QWidget *widget : widgets) {
        if (widget->windowType() != Qt::Desktop)
            names.append(QString::fromLatin1(widget->metaObject()->className()));
    }
    return names;
}
