#pragma once
// An up-down spinner: two arrow buttons that step a value within a range. The value shows in a
// text box beside it, which the window keeps up to date from the change signal. The change
// signal also fires when the program sets the value, as the settings handlers rely on.

#include <QWidget>

class QToolButton;

class UpDown : public QWidget {
    Q_OBJECT
public:
    explicit UpDown(QWidget* parent = nullptr);

    int Value() const { return value_; }
    int Min() const { return min_; }
    int Max() const { return max_; }
    int Increment() const { return increment_; }

    // Values outside the range are brought to its nearer end.
    void SetValue(int value);
    // A value left outside the new range is brought to its nearer end.
    void SetRange(int min, int max);
    void SetIncrement(int increment) { increment_ = increment; }

    void StepUp() { SetValue(value_ + increment_); }
    void StepDown() { SetValue(value_ - increment_); }

signals:
    void Change();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QToolButton* up_;
    QToolButton* down_;
    int value_ = 0;
    int min_ = 0;
    int max_ = 10;
    int increment_ = 1;
};
