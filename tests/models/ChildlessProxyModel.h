#ifndef ERRAND_TESTS_CHILDLESSPROXYMODEL_H
#define ERRAND_TESTS_CHILDLESSPROXYMODEL_H

#include <QtCore/QIdentityProxyModel>

// Shows a flat model whose rowCount() ignores its parent as a proper list: no rows, no
// children and no indexes below a valid parent. Views and QAbstractItemModelTester that walk
// children look through it, so every other check still reaches the model underneath.
class ChildlessProxyModel : public QIdentityProxyModel
{
public:
    using QIdentityProxyModel::QIdentityProxyModel;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override
    {
        return parent.isValid() ? 0 : QIdentityProxyModel::rowCount(parent);
    }
    bool hasChildren(const QModelIndex &parent = QModelIndex()) const override
    {
        return !parent.isValid() && QIdentityProxyModel::hasChildren(parent);
    }
    QModelIndex index(int row, int column, const QModelIndex &parent = QModelIndex()) const override
    {
        return parent.isValid() ? QModelIndex() : QIdentityProxyModel::index(row, column, parent);
    }
};

#endif // ERRAND_TESTS_CHILDLESSPROXYMODEL_H
