#include "ScatterGridController.h"

#include "ScatterGridView.h"

namespace zezevaveri {

void ScatterGridController::attach(ScatterGridView *grid)
{
    m_grid = grid;
    if (grid && m_pending) {
        const QString id = *m_pending;
        m_pending.reset();
        grid->open(id);
    }
}

void ScatterGridController::open(const QString &id)
{
    if (m_grid)
        m_grid->open(id);
    else
        m_pending = id;
}

void ScatterGridController::close()
{
    if (m_grid)
        m_grid->close();
}

void ScatterGridController::nudge(int step)
{
    if (m_grid)
        m_grid->nudge(step);
}

void ScatterGridController::scrollTo(const QString &id)
{
    if (m_grid)
        m_grid->scrollTo(id);
}

void ScatterGridController::select(const QStringList &ids)
{
    if (m_grid)
        m_grid->select(ids);
}

} // namespace zezevaveri
