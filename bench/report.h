#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// What the benchmarks share to report: Markdown on standard output, progress
// on standard error, and figures with thousands separators.
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

// Parses a comma-separated list of numbers of at least minimum; nullopt when
// an item is not one.
std::optional<QList<double>> parseNumbers(const QString &text, double minimum);
// Parses a comma-separated list of names, each one of known; returns their
// indexes in known, or nullopt when a name is not known.
std::optional<QList<int>> parseNames(const QString &text, const QStringList &known);
