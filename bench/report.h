#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// What the benchmark's parts share to report: Markdown on standard output,
// progress on standard error, and figures with thousands separators.
void print(const QString &line = {});
void progress(const QString &line);
QString fixed(double value, int decimals);
// A dash for a figure that could not be measured.
QString figure(double value, int decimals, bool measured = true);

// The middle value, or the mean of the two middle ones; 0 for no values.
double median(QList<double> values);

// The machine and the load now: processors, kernel, Qt and load average.
QString machineLine();
QString loadAverage();

// A Markdown table: the first column left-aligned, the others right-aligned.
void printTable(const QStringList &header, const QList<QStringList> &rows);
// A target's figure, marked when missed.
QString judged(double value, bool met);
void printFailures(const QStringList &failures);
