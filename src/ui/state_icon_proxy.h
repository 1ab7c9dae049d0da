#pragma once

#include <QIdentityProxyModel>
#include <QPixmap>

// Shows a row's state (normal 0, abnormal 1, in progress 2; anything else none) as the 24 × 24
// picture in front of column 0. The state comes from the source model under the given role.
class StateIconProxy final : public QIdentityProxyModel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StateIconProxy)

public:
    explicit StateIconProxy(int stateRole, QObject* parent = nullptr);

    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

private:
    int m_stateRole;
    QPixmap m_pictures[3];
};
