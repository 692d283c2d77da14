// The tasks of a live queue, one card per row of a WorkQueueTaskModel (context property
// "taskModel"). Each card reads the model's roles: name, state, stateText, error, errorText,
// priority, progress and task (the Task object itself, whose "path" property names the file).
// A bar above the cards shows the progress of the queue's batch ("workQueue", the WorkQueue).
import QtQuick 2.12
import QtQuick.Controls 2.12
import QtQuick.Window 2.12

Window {
    id: root
    width: 820
    height: 340
    visible: true
    title: qsTr("Errand queue")
    color: "#f4f4f1"

    // How many state changes reached the cards: proof that rows update live.
    property int transitionsSeen: 0

    // Ready, Running, Finished; failed and aborted tasks in red.
    function stateColor(state, error) {
        if (error !== 0)
            return "#b02020"
        if (state === 2)
            return "#1f6fd0"
        if (state === 3)
            return "#2e8540"
        return "#77808a"
    }

    function relative(path) {
        if (path === rootPath)
            return "."
        return path.indexOf(rootPath + "/") === 0 ? path.substring(rootPath.length + 1) : path
    }

    Text {
        id: heading
        x: 14
        y: 10
        font.pixelSize: 16
        font.bold: true
        text: qsTr("%1 tasks: waiting, running and the last finished").arg(list.count)
    }

    ProgressBar {
        id: batch
        anchors { right: parent.right; rightMargin: 14; verticalCenter: heading.verticalCenter }
        width: 150
        value: workQueue.progress
    }
    Text {
        anchors { right: batch.left; rightMargin: 8; verticalCenter: heading.verticalCenter }
        text: qsTr("batch %1%").arg(Math.floor(workQueue.progress * 100))
        color: "#77808a"
    }

    ListView {
        id: list
        objectName: "taskList"
        anchors { fill: parent; margins: 12; topMargin: 40 }
        spacing: 4
        clip: true
        model: taskModel

        delegate: Rectangle {
            id: card
            width: ListView.view.width
            height: 34
            radius: 4
            color: "white"
            border.color: model.state === 2 ? "#1f6fd0" : "#dcdcd8"

            property int taskState: model.state
            onTaskStateChanged: root.transitionsSeen++

            Rectangle {
                width: 6
                height: parent.height
                radius: 3
                color: root.stateColor(model.state, model.error)
            }
            Text {
                x: 16
                width: 130
                anchors.verticalCenter: parent.verticalCenter
                text: model.name
                font.bold: model.state === 2
                elide: Text.ElideRight
            }
            Text {
                x: 152
                width: 170
                anchors.verticalCenter: parent.verticalCenter
                text: model.task ? root.relative(model.task.path) : ""
                elide: Text.ElideMiddle
            }
            // The share done; busy while a running task's total is unknown; none before it runs.
            ProgressBar {
                x: 326
                width: 100
                anchors.verticalCenter: parent.verticalCenter
                visible: model.state !== 1
                indeterminate: model.progress < 0
                value: Math.max(model.progress, 0)
            }
            Text {
                x: 440
                width: 84
                anchors.verticalCenter: parent.verticalCenter
                text: model.stateText
                color: root.stateColor(model.state, model.error)
                font.bold: true
            }
            Text {
                x: 532
                width: parent.width - x - 8
                anchors.verticalCenter: parent.verticalCenter
                text: model.error !== 0 ? model.errorText || qsTr("aborted")
                    : qsTr("priority %1").arg(model.priority)
                      + (model.result === undefined || model.result === null ? "" : "   " + model.result)
                color: model.error === 0 ? "#77808a" : "#b02020"
                elide: Text.ElideRight
            }
        }
    }
}
