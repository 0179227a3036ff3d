#pragma once
// TfrmProgress: the small window that follows the download and install passes
// of the upgrade program, one bar for the current task and one for all.

#include <QWidget>

#include <cstdint>

class QLabel;
class QProgressBar;

namespace ot {

class TUpgradeLang;

class TfrmProgress : public QWidget {
    Q_OBJECT
public:
    explicit TfrmProgress(const TUpgradeLang& ALang, QWidget* AParent = nullptr);

    QLabel* lblTip = nullptr;
    QProgressBar* ProgressBar1 = nullptr;
    QProgressBar* ProgressBar2 = nullptr;

    int TotalTaskCount() const { return FTotalTaskCount; }
    void SetTotalTaskCount(int AValue) { FTotalTaskCount = AValue; }
    int TaskIndex() const { return FTaskIndex; }
    void SetTaskIndex(int AValue) { FTaskIndex = AValue; }

    // Empty tip, both bars at 0, the first task.
    void Reset();
    void SetATaskProgress(int APosition);
    void SetTotalProgress(int APosition);
    void SetTipStr(std::int64_t ATotalCount, std::int64_t ACurrentCount, double ASpeed);
    void SetTipStr(const QString& AStr);

protected:
    // Centred on the screen each time it opens.
    void showEvent(QShowEvent* AEvent) override;

private:
    const TUpgradeLang& FLang;
    int FTotalTaskCount = 0;
    int FTaskIndex = 0;
};

} // namespace ot
