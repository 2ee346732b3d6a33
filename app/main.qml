import QtQuick
import QtQuick.Controls
import QtQuick.Dialogs
import QtQuick.Layouts
import com.orvane.SwTxDownloader 1.0

ApplicationWindow {
    id: app
    visible: true
    width: 640
    height: 280
    title: qsTr("Skyweave Transmitter Update Tool")

    header: ToolBar {
        id: toolBar

        RowLayout {
            anchors.left: parent.left

            ToolButton {
                action: openAction
            }
            ToolButton {
                action: aboutAction
            }
            ToolSeparator {
            }
            ToolButton {
                action: quitAction
            }
        }

        Image {
            source: "qrc:/Orvane.png"
            anchors.right: parent.right
            anchors.top: parent.top
            anchors.bottom: parent.bottom
            anchors.margins: 6
            fillMode: Image.PreserveAspectFit
        }

        Action {
            id: openAction
            text: qsTr("Open")
            icon.name: "document-open"
            shortcut: StandardKey.Open
            // Choosing a folder rebuilds the file list, which must not
            // happen while an update sends it; the shortcut obeys this too.
            enabled: toolBar.enabled
            onTriggered: openDialog.open()
        }

        Action {
            id: aboutAction
            text: qsTr("About")
            icon.name: "help-about"
            shortcut: StandardKey.HelpContents
            onTriggered: aboutDialog.open()
        }

        Action {
            id: quitAction
            text: qsTr("Quit")
            icon.name: "application-exit"
            shortcut: StandardKey.Quit
            onTriggered: Qt.quit()
        }
    }

    footer: ToolBar {
        Label {
            objectName: "statusLine"
            anchors.fill: parent
            anchors.leftMargin: 16
            horizontalAlignment: Text.AlignLeft
            verticalAlignment: Text.AlignVCenter
            text: qtftp.errorString
        }
    }

    GridLayout {
        id: gridLayout
        objectName: "gridLayout"
        anchors.fill: parent
        anchors.margins: 16
        columns: 2
        visible: false

        Label {
            text: qsTr("Selected folder:")
            horizontalAlignment: Text.AlignRight
            Layout.alignment: Qt.AlignRight | Qt.AlignVCenter
        }
        Label {
            id: selectedFolderLabel
            objectName: "selectedFolderLabel"
            horizontalAlignment: Text.AlignLeft
            Layout.fillWidth: true
        }

        Label {
            text: qsTr("Network interface:")
            horizontalAlignment: Text.AlignRight
            Layout.alignment: Qt.AlignRight | Qt.AlignVCenter
        }
        ComboBox {
            objectName: "interfaceComboBox"
            Layout.fillWidth: true
            model: qtftp.ifsList
            currentIndex: qtftp.savedInterfaceIndex()
            onCurrentTextChanged: {
                const pieces = currentText.split(" -- ")
                qtftp.saveNetworkIf(pieces[0])
                qtftp.setLocalAddress(pieces[1])
            }
        }

        Label {
            text: qsTr("Ip Address or Hostname:")
            horizontalAlignment: Text.AlignRight
            Layout.alignment: Qt.AlignRight | Qt.AlignVCenter
        }
        TextField {
            objectName: "addressField"
            text: qtftp.loadNetworkAddr()
            mouseSelectionMode: TextField.SelectCharacters
            onTextChanged: {
                qtftp.saveNetworkAddr(text)
                qtftp.setRemoteAddress(text)
            }
        }

        Button {
            objectName: "startButton"
            text: qsTr("Start")
            onClicked: {
                toolBar.enabled = false
                gridLayout.enabled = false
                qtftp.buildFileList(selectedFolderLabel.text)
                qtftp.startUpdate()
            }
        }
        ProgressBar {
            objectName: "progressBar"
            Layout.fillWidth: true
            from: 0
            to: qtftp.fileSize
            value: qtftp.fileProgress
        }
    }

    FolderDialog {
        id: openDialog
        objectName: "openDialog"
        title: qsTr("Please choose a folder")
        onAccepted: {
            qtftp.buildFileList(selectedFolder)
            selectedFolderLabel.text = selectedFolder
            gridLayout.visible = true
        }
    }

    Dialog {
        id: aboutDialog
        objectName: "aboutDialog"
        modal: true

        ColumnLayout {
            spacing: 16

            Image {
                source: "qrc:/Orvane.png"
            }
            Label {
                text: qsTr("Version %1\n© Orvane. All rights reserved.").arg(qtftp.updaterVersion)
            }
        }
    }

    QTftp {
        id: qtftp
        objectName: "qtftp"
        onUpdateCompleted: {
            toolBar.enabled = true
            gridLayout.enabled = true
        }
    }
}
