#include "ui/state_icon_proxy.h"

#include "ui/ui_pictures.h"

using namespace Qt::StringLiterals;

StateIconProxy::StateIconProxy(int stateRole, QObject* parent)
    : QIdentityProxyModel(parent)
    , m_stateRole(stateRole)
    , m_pictures { UiPicture(u"state_normal"_s), UiPicture(u"state_abnormal"_s), UiPicture(u"state_busy"_s) }
{ }

QVariant StateIconProxy::data(const QModelIndex& index, int role) const
{
    if (role != Qt::DecorationRole || index.column() != 0)
        return QIdentityProxyModel::data(index, role);
    bool ok = false;
    const int state = QIdentityProxyModel::data(index, m_stateRole).toInt(&ok);
    if (!ok || state < 0 || state > 2)
        return {};
    return m_pictures[state];
}
