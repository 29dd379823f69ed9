// Labels that name what a picture shows (the detectors of opencv-data and
// the user's classifier), and text in the languages the user picked.

#include "AnalysisFixtures.h"
#include "LabelledPictures.h"

#include "enrichment/AnalysisImage.h"
#include "enrichment/ContentLabels.h"
#include "enrichment/ImageAnalysis.h"
#include "platform/TextRecognizer.h"

#include <QDirIterator>
#include <QFile>
#include <QImageReader>
#include <QTemporaryDir>
#include <QTest>

using namespace vellora;

namespace {

// Decoded as the analysis sees a picture: a thumbnail of at most 1024 pixels.
QImage thumbnailOf(const QString &path)
{
    QImageReader reader(path);
    reader.setAutoTransform(true);
    const QSize size = reader.size();
    if (size.isValid() && std::max(size.width(), size.height()) > 1024)
        reader.setScaledSize(size.scaled(1024, 1024, Qt::KeepAspectRatio));
    return reader.read();
}

const QString kDocPictures = QStringLiteral("/usr/share/doc/opencv-doc");

QImage lineOf(const QString &text)
{
    return fixtures::wordCard({text}, QSize(1200, 300));
}

} // namespace

class TestContentLabels : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void picturesAreLabelledByWhatTheyShow_data();
    void picturesAreLabelledByWhatTheyShow();
    void detectorsStayQuietOnDesktopPictures();
    void detectorLabelsArePreciseOnRealPictures();
    void classifierNamesItsClasses();
    void unusableClassifierGivesNothing_data();
    void unusableClassifierGivesNothing();
    void languagesToRecognise_data();
    void languagesToRecognise();
    void textInThePickedLanguage_data();
    void textInThePickedLanguage();
    void implausibleLines_data();
    void implausibleLines();

private:
    QTemporaryDir m_dir;
};

void TestContentLabels::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY2(!cascadeFolder().isEmpty(), "opencv-data is not installed");
}

void TestContentLabels::picturesAreLabelledByWhatTheyShow_data()
{
    QTest::addColumn<QImage>("image");
    QTest::addColumn<QStringList>("labels");
    const QString photos = kDocPictures + QStringLiteral("/opencv4/html/");
    const QString data = kDocPictures + QStringLiteral("/examples/data/");
    // The sample carries a caption as well.
    QTest::newRow("a face") << thumbnailOf(photos + "julia_facedetect_sample.jpg") << QStringList{"text", "face", "person"};
    QTest::newRow("several faces") << thumbnailOf(photos + "facereg.jpg") << QStringList{"face", "person"};
    QTest::newRow("a screenshot with text")
        << fixtures::wordCard({"Quarterly report", "Revenue grew strongly"}) << QStringList{"text"};
    QTest::newRow("a plain photo") << thumbnailOf(data + "fruits.jpg") << QStringList{};
    QTest::newRow("a ladybird") << thumbnailOf("/usr/share/backgrounds/mate/nature/LadyBird.jpg") << QStringList{};
    // Its veins and shadows look like a face to both Haar cascades.
    QTest::newRow("a green leaf") << thumbnailOf("/usr/share/backgrounds/mate/nature/Blinds.jpg") << QStringList{};
    // A human face is no cat, though the cat cascades alone would say so.
    QTest::newRow("faces, not a cat") << thumbnailOf(photos + "example.jpg") << QStringList{"face", "person"};
}

void TestContentLabels::picturesAreLabelledByWhatTheyShow()
{
    QFETCH(QImage, image);
    QFETCH(QStringList, labels);
    if (image.isNull())
        QSKIP("the picture's package (opencv-doc, mate-backgrounds) is not installed");
    const ImageAnalysis analysis = analyzeDecodedImage(image);
    QVERIFY2(analysis.labels == labels, qPrintable(analysis.labels.join(u',') + QStringLiteral(" / ") + analysis.text));
    // Shape and tone are no labels.
    for (const char *word : {"landscape", "portrait", "square", "dark", "bright", "monochrome", "colorful"})
        QVERIFY(!analysis.labels.contains(QLatin1String(word)));
}

void TestContentLabels::detectorsStayQuietOnDesktopPictures()
{
    // The self-check's desktop pictures show no faces, people or cats: a
    // detector that fires on more than one in twenty of them is not right.
    QStringList pictures;
    QDirIterator it(QStringLiteral("/usr/share/backgrounds"), {"*.jpg", "*.jpeg", "*.png"}, QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        pictures << it.next();
    if (pictures.size() < 20)
        QSKIP("fewer than twenty desktop pictures installed");
    QMap<QString, QStringList> fired;
    for (const QString &path : std::as_const(pictures))
        for (const QString &label : detectedLabels(thumbnailOf(path)))
            fired[label] << path.section(u'/', -1);
    for (auto f = fired.cbegin(); f != fired.cend(); ++f) {
        qInfo("%s: %lld of %lld (%s)", qPrintable(f.key()), qlonglong(f->size()), qlonglong(pictures.size()),
              qPrintable(f->join(u' ')));
        QVERIFY2(f->size() * 20 <= pictures.size(), qPrintable(f.key()));
    }
}

void TestContentLabels::detectorLabelsArePreciseOnRealPictures()
{
    // Real pictures with and without faces, people and cats, labelled by
    // hand: of the detector labels the analysis gives, at least 95 in 100
    // must be right, for each label.
    const QList<fixtures::LabelledPicture> pictures = fixtures::labelledPictures();
    QVERIFY2(pictures.size() >= 60, qPrintable(fixtures::labelledFolder()));
    QMap<QString, fixtures::LabelScore> scores;
    int withNone = 0;
    for (const fixtures::LabelledPicture &picture : pictures) {
        const QImage image = fixtures::readLabelled(picture);
        QVERIFY2(!image.isNull(), qPrintable(picture.file));
        // The detectors see the picture as its tile shows it, as the analysis
        // hands it to them.
        const QImage tile = asShownOnTile(image);
        const QStringList labels = detectedLabels(tile);
        // Leaving out the confirming cascades on weak finds changes no label.
        QCOMPARE(labels, labelsFor(detectorConfidence(tile)));
        withNone += picture.labels.isEmpty();
        for (const QString &label : fixtures::kDetectorLabels) {
            fixtures::LabelScore &score = scores[label];
            const bool shows = picture.labels.contains(label), given = labels.contains(label);
            score.shown += shows;
            score.given += given;
            score.right += shows && given;
            if (given && !shows)
                qInfo("wrong %s: %s", qPrintable(label), qPrintable(picture.file.section(u'/', -1)));
        }
        if (picture.file.endsWith(QLatin1String("/mate-blinds.jpg"))) {
            // The green leaf whose veins once made a face.
            QVERIFY2(!labels.contains(QLatin1String("face")) && !labels.contains(QLatin1String("person")),
                     qPrintable(labels.join(u',')));
        }
    }
    QVERIFY(withNone >= 20);
    for (const QString &label : fixtures::kDetectorLabels) {
        const fixtures::LabelScore &score = scores[label];
        qInfo("%s: %d pictures show it, given %d, right %d, precision %.3f, recall %.3f", qPrintable(label),
              score.shown, score.given, score.right, score.precision(), score.recall());
        QVERIFY2(score.shown >= 5, qPrintable(label));
        // A detector that never fires is not precise, only silent.
        QVERIFY2(score.given > 0, qPrintable(label));
        QVERIFY2(score.precision() >= 0.95, qPrintable(label));
    }
}

void TestContentLabels::classifierNamesItsClasses()
{
    const QString labels = m_dir.filePath(QStringLiteral("classes.txt"));
    QFile file(labels);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("red thing\nblue thing\n");
    file.close();
    const ClassifierFiles classifier{QStringLiteral(VELLORA_TINY_CLASSIFIER), labels};

    QImage red(300, 200, QImage::Format_RGB32);
    red.fill(QColor(220, 20, 20));
    QImage blue(300, 200, QImage::Format_RGB32);
    blue.fill(QColor(20, 30, 230));
    QCOMPARE(classifierLabels(red, classifier), QStringList{"red thing"});
    QCOMPARE(classifierLabels(blue, classifier), QStringList{"blue thing"});

    // Through the analysis, after the detectors' labels.
    AnalysisSettings settings;
    settings.classifier = classifier;
    QCOMPARE(analyzeDecodedImage(red, settings).labels, QStringList{"red thing"});
    QCOMPARE(analyzeDecodedImage(red).labels, QStringList{}); // no classifier named: no labels at all
}

void TestContentLabels::unusableClassifierGivesNothing_data()
{
    QTest::addColumn<QString>("model");
    QTest::addColumn<QByteArray>("names");
    QTest::newRow("no model file") << m_dir.filePath("absent.onnx") << QByteArray("a\nb\n");
    QTest::newRow("not a model") << m_dir.filePath("classes-garbage.txt") << QByteArray("a\nb\n");
    QTest::newRow("no names") << QStringLiteral(VELLORA_TINY_CLASSIFIER) << QByteArray();
}

void TestContentLabels::unusableClassifierGivesNothing()
{
    QFETCH(QString, model);
    QFETCH(QByteArray, names);
    QFile garbage(m_dir.filePath("classes-garbage.txt"));
    QVERIFY(garbage.open(QIODevice::WriteOnly));
    garbage.write("this is no network");
    garbage.close();
    const QString labels = m_dir.filePath(QStringLiteral("names-%1.txt").arg(QTest::currentDataTag()).replace(' ', '-'));
    QFile file(labels);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(names);
    file.close();
    QImage red(100, 100, QImage::Format_RGB32);
    red.fill(Qt::red);
    QCOMPARE(classifierLabels(red, {model, labels}), QStringList{});
}

void TestContentLabels::languagesToRecognise_data()
{
    QTest::addColumn<QString>("picked");
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QString>("languages");
    const QLocale german(QLocale::German, QLocale::Germany);
    const QLocale japanese(QLocale::Japanese, QLocale::Japan);
    const QLocale english(QLocale::English, QLocale::UnitedStates);
    QTest::newRow("default, German locale") << "" << german << "eng+deu";
    QTest::newRow("default, English locale") << "" << english << "eng";
    QTest::newRow("default, locale without data") << "" << japanese << "eng";
    QTest::newRow("picked") << "rus+deu" << english << "rus+deu";
    QTest::newRow("picked with commas and blanks") << " fra, spa " << english << "fra+spa";
    QTest::newRow("not installed left out") << "jpn+rus" << english << "rus";
    QTest::newRow("nothing installed picked") << "jpn" << german << "eng+deu";
    QTest::newRow("no path tricks") << "../eng" << english << "eng";
}

void TestContentLabels::languagesToRecognise()
{
    QFETCH(QString, picked);
    QFETCH(QLocale, locale);
    QFETCH(QString, languages);
    for (const char *code : {"eng", "deu", "rus", "fra", "spa"})
        if (!TextRecognizer::installedLanguages().contains(QLatin1String(code)))
            QSKIP("the Tesseract data of the test languages is not installed");
    QCOMPARE(TextRecognizer::languagesFor(picked, locale), languages);
}

void TestContentLabels::textInThePickedLanguage_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<QString>("languages");
    QTest::addColumn<QStringList>("words");
    QTest::newRow("German") << QStringLiteral("Die Straße ist groß") << "eng+deu" << QStringList{"Straße", "groß"};
    QTest::newRow("Russian") << QStringLiteral("Привет, красивый мир") << "eng+rus"
                             << QStringList{"Привет", "красивый", "мир"};
}

void TestContentLabels::textInThePickedLanguage()
{
    QFETCH(QString, line);
    QFETCH(QString, languages);
    QFETCH(QStringList, words);
    for (const QString &code : languages.split(u'+'))
        if (!TextRecognizer::installedLanguages().contains(code))
            QSKIP("the Tesseract data of the test languages is not installed");
    AnalysisSettings settings;
    settings.languages = languages;
    const ImageAnalysis analysis = analyzeDecodedImage(lineOf(line), settings);
    for (const QString &word : words)
        QVERIFY2(analysis.text.contains(word), qPrintable(analysis.text));
    QCOMPARE(analysis.labels, QStringList{"text"});

    // English alone does not make garbage of it that counts as text.
    const ImageAnalysis english = analyzeDecodedImage(lineOf(line));
    for (const QString &word : words)
        if (word.contains(QRegularExpression(QStringLiteral("[^a-z]"))))
            QVERIFY2(!english.text.contains(word), qPrintable(english.text));
}

void TestContentLabels::implausibleLines_data()
{
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("kept");
    const QChar r = QChar::ReplacementCharacter;
    QTest::newRow("words") << "Straße 12" << true;
    QTest::newRow("punctuation only") << "-- .. |" << false;
    QTest::newRow("mostly replacement") << QString("a") + r + r + r << false;
    QTest::newRow("one replacement among words") << QString("Hello w") + r + "rld" << true;
    QTest::newRow("replacement only") << QString(3, r) << false;
}

void TestContentLabels::implausibleLines()
{
    QFETCH(QString, line);
    QFETCH(bool, kept);
    QCOMPARE(isPlausibleTextLine(line), kept);
}

QTEST_MAIN(TestContentLabels)
#include "tst_contentlabels.moc"
