// The desktop's monitors as they are arranged, the one the frame covers
// filled in, so that a person picks the right one by where it stands.
#pragma once

#include <QString>
#include <QWidget>

namespace tact::tuning {

class ScreenLayoutPreview : public QWidget {
    Q_OBJECT
  public:
    explicit ScreenLayoutPreview(QWidget* parent = nullptr);

    // The output the frame covers by name; empty for the primary monitor.
    void setChosen(const QString& name);

    QSize sizeHint() const override { return {480, 220}; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QString chosen_;
};

}  // namespace tact::tuning
