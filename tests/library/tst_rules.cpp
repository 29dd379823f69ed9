#include "library/Records.h"

#include "platform/Clock.h"

#include <QTest>

using namespace vellora;

class TestRules : public QObject {
    Q_OBJECT
private slots:
    void placeholder() { QCOMPARE(SmartFolder::defaults().size(), 2); }
};

QTEST_GUILESS_MAIN(TestRules)
#include "tst_rules.moc"
